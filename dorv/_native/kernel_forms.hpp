#pragma once
// The loops that gain from wider vectors, as one table of functions per instruction set:
// kernel_forms.cpp is compiled once per form (SSE2, AVX2 with FMA, AVX-512) and defines that
// form's table; kernels.cpp picks one table at run time. Only these loops are compiled more
// than once: factorisations of small matrices are not (solvers.cpp). Each form compiles its own
// copy of Eigen under a namespace of its own, so that no code built for one instruction set
// can be linked in place of another's; nothing here names Eigen's types.

#include "common.hpp"

namespace dorv {

// Called by the kernels after each block of rows with a rough count of the operations done:
// the caller's stop check, which may throw to end the call.
using Progress = void (*)(double work);

// Runs step(state), one step of more than kLongStepWork operations with no stop points of its
// own (a factorisation by Eigen), where the call can stop while it waits for the step: returns
// once the step has run, with `state` still the caller's; or throws when the call must stop
// first, and then release(state) frees it once the step has ended, perhaps after the call.
using LongStep = void (*)(void (*step)(void* state), void* state, void (*release)(void* state));
inline constexpr double kLongStepWork = 1e8;

struct KernelForm {
  const char* name;

  // Lower triangle of G = X_rᵀ X_r and g = X_rᵀ y_r over the rows r0 <= i < r1, from copies of
  // blocks of rows packed once each, so that the layout of X does not change a bit; the order
  // of every sum is fixed by r0, r1 and p. G (p, p) column-major, g (p); the strictly upper
  // triangle of G is left as it is. p = X.cols.
  void (*gram_rows)(const MatrixView& X, const VectorView& y, std::ptrdiff_t r0, std::ptrdiff_t r1,
                    double* G, double* g, Progress progress);

  // Triangular factor R of a Householder QR of the rows r0 <= i < r1 of [X y] (y absent when
  // y.data is null), by blocks of rows in increasing order, each block factored below the R of
  // the blocks before it. R (c, c) column-major, c = X.cols + (y present), zero below its
  // diagonal; its last column holds Qᵀy. A block's factorisation of more than kLongStepWork
  // operations runs through long_step.
  void (*qr_rows)(const MatrixView& X, const VectorView& y, std::ptrdiff_t r0, std::ptrdiff_t r1,
                  double* R, Progress progress, LongStep long_step);

  // Number of rows with |(X b)[i] - y[i]| < eps, X b summed per row from column 0 up with every
  // product and sum rounded on its own (no fused multiply-adds), as the portable matrix product
  // does. X (n, k) column-major, n >= 2; b (k); y (n).
  std::ptrdiff_t (*hits_of_product)(const double* X, std::ptrdiff_t n, std::ptrdiff_t k,
                                    const double* b, const double* y, double eps);

  // Number of i < n with |p[i] - t[i]| < eps; a NaN difference is no hit. p (n), t (n).
  std::ptrdiff_t (*hits_within)(const double* p, const double* t, std::ptrdiff_t n, double eps);
};

// The forms built (DORV_FORM_<NAME> defined for each): the portable one always.
extern const KernelForm kernels_sse2;
extern const KernelForm kernels_avx2;
extern const KernelForm kernels_avx512;

}  // namespace dorv
