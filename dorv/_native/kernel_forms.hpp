#pragma once
// The dense kernels as one table of functions per instruction set. kernel_forms.cpp is compiled
// once per form (SSE2, AVX2 with FMA, AVX-512) and defines that form's table; kernels.cpp picks
// one table at run time. Nothing here names Eigen: each form compiles its own copy of the
// library under a namespace of its own, so that no code built for one instruction set can be
// linked in place of another's.

#include <cstddef>

namespace dorv {

// A read-only matrix of doubles where it lies: entry (i, j) is data[i * row_step + j * col_step]
// (steps in doubles, positive). Column-major storage has row_step 1, C order col_step 1.
struct MatrixView {
  const double* data = nullptr;
  std::ptrdiff_t rows = 0, cols = 0, row_step = 1, col_step = 0;

  double operator()(std::ptrdiff_t i, std::ptrdiff_t j) const {
    return data[i * row_step + j * col_step];
  }
};

// A read-only vector of doubles where it lies: entry i is data[i * step] (step positive).
struct VectorView {
  const double* data = nullptr;
  std::ptrdiff_t size = 0, step = 1;

  double operator()(std::ptrdiff_t i) const { return data[i * step]; }
};

// Called by the kernels after each block of rows with a rough count of the operations done:
// the caller's stop check, which may throw to end the call.
using Progress = void (*)(double work);

struct KernelForm {
  const char* name;

  // Lower triangle of G = X_rᵀ X_r and g = X_rᵀ y_r over the rows r0 <= i < r1, from copies of
  // blocks of rows in column-major storage, so that the layout of X does not change a bit; the
  // order of every sum is fixed by r0, r1 and p. G (p, p) column-major, g (p); the strictly upper
  // triangle of G is left as it is. p = X.cols.
  void (*gram_rows)(const MatrixView& X, const VectorView& y, std::ptrdiff_t r0, std::ptrdiff_t r1,
                    double* G, double* g, Progress progress);

  // Triangular factor R of a Householder QR of the rows r0 <= i < r1 of [X y] (y absent when
  // y.data is null), by blocks of rows in increasing order, each block factored below the R of
  // the blocks before it. R (c, c) column-major, c = X.cols + (y present), zero below its
  // diagonal; its last column holds Qᵀy.
  void (*qr_rows)(const MatrixView& X, const VectorView& y, std::ptrdiff_t r0, std::ptrdiff_t r1,
                  double* R, Progress progress);

  // Minimum-norm solution of R beta = c for an upper-triangular R (p, p) column-major through
  // its divide-and-conquer SVD, singular values below max(p, 1) * eps * the largest counting
  // as zero. c (p), beta (p).
  void (*solve_triangular_svd)(const double* R, std::ptrdiff_t p, const double* c, double* beta);

  // Number of rows with |(X b)[i] - y[i]| < eps, X b summed per row from column 0 up with every
  // product and sum rounded on its own (no fused multiply-adds), as the portable matrix product
  // does. X (n, k) column-major, n >= 2; b (k); y (n).
  std::ptrdiff_t (*hits_of_product)(const double* X, std::ptrdiff_t n, std::ptrdiff_t k,
                                    const double* b, const double* y, double eps);
};

extern const KernelForm kernels_sse2;
#if defined(DORV_X86_FORMS)
extern const KernelForm kernels_avx2;
extern const KernelForm kernels_avx512;
#endif

}  // namespace dorv
