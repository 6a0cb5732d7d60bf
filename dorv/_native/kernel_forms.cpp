// One form of the dense kernels, compiled once per instruction set with DORV_FORM_TABLE naming
// its table and `Eigen` defined to a namespace of the form's own (see kernel_forms.hpp).
// Compiled without contraction into fused multiply-adds: the hit kernel must keep every product
// and sum apart, while the library's kernels use fused multiply-adds explicitly where the form
// has them.

#include "kernel_forms.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#ifndef DORV_FORM_TABLE
#error "DORV_FORM_TABLE names the table this form defines"
#endif
#define DORV_STRINGIFY2(x) #x
#define DORV_STRINGIFY(x) DORV_STRINGIFY2(x)

namespace dorv {

namespace {

using Mat = Eigen::MatrixXd;
using Vec = Eigen::VectorXd;
using Map = Eigen::Map<Mat>;
using Eigen::Index;

// Rows per block: a block of `cols` columns takes about 256 KiB, half of a core's cache of the
// second level, at least `least` rows, and a multiple of 8.
Index block_rows(Index cols, Index least) {
  const Index rows = (Index{1} << 15) / std::max<Index>(cols, 1);
  return std::max(least, rows) / 8 * 8 + 8;
}

// Rows r0 <= i < r0 + h of X into out (h, X.cols) column-major, at offset `at` rows of a matrix
// with leading dimension ld.
void copy_rows(const MatrixView& X, Index r0, Index h, double* out, Index ld) {
  if (X.row_step == 1) {
    for (Index j = 0; j < X.cols; ++j)
      std::memcpy(out + j * ld, X.data + r0 + j * X.col_step, sizeof(double) * std::size_t(h));
    return;
  }
  for (Index i = 0; i < h; ++i) {
    const double* row = X.data + (r0 + i) * X.row_step;
    for (Index j = 0; j < X.cols; ++j) out[i + j * ld] = row[j * X.col_step];
  }
}

void copy_entries(const VectorView& y, Index r0, Index h, double* out) {
  if (y.step == 1) {
    std::memcpy(out, y.data + r0, sizeof(double) * std::size_t(h));
    return;
  }
  for (Index i = 0; i < h; ++i) out[i] = y.data[(r0 + i) * y.step];
}

void gram_rows(const MatrixView& X, const VectorView& y, std::ptrdiff_t r0, std::ptrdiff_t r1,
               double* G, double* g) {
  const Index p = X.cols, h = block_rows(p, 64);
  Map Gm(G, p, p);
  Eigen::Map<Vec> gv(g, p);
  Gm.triangularView<Eigen::Lower>().setZero();
  gv.setZero();
  Mat B(h, p);
  Vec yb(h);
  for (Index i = r0; i < r1; i += h) {
    const Index rows = std::min(h, r1 - i);
    copy_rows(X, i, rows, B.data(), h);
    copy_entries(y, i, rows, yb.data());
    const auto Bt = B.topRows(rows).transpose();
    Gm.selfadjointView<Eigen::Lower>().rankUpdate(Bt);
    gv.noalias() += Bt * yb.head(rows);
  }
}

void qr_rows(const MatrixView& X, const VectorView& y, std::ptrdiff_t r0, std::ptrdiff_t r1,
             double* R) {
  const Index p = X.cols, c = p + (y.data != nullptr ? 1 : 0);
  const Index h = block_rows(c, 4 * c);
  Map Rm(R, c, c);
  Rm.setZero();
  // W holds the factor so far (top c rows, from the second block on) over the next block.
  Mat W(c + h, c);
  Eigen::HouseholderQR<Mat> qr;
  Index top = 0;  // rows of W above the block: 0 for the first block, c afterwards
  for (Index i = r0; i < r1; i += h) {
    const Index rows = std::min(h, r1 - i);
    copy_rows(X, i, rows, W.data() + top, W.rows());
    if (c > p) copy_entries(y, i, rows, W.col(p).data() + top);
    qr.compute(W.topRows(top + rows));
    const Index k = std::min(top + rows, c);
    Rm.topRows(k) = qr.matrixQR().topRows(k).triangularView<Eigen::Upper>();
    W.topRows(c) = Rm;
    top = c;
  }
}

void solve_triangular_svd(const double* R, std::ptrdiff_t p, const double* c, double* beta) {
  const Eigen::Map<const Mat> Rm(R, p, p);
  const Eigen::BDCSVD<Mat> svd(Rm, Eigen::ComputeThinU | Eigen::ComputeThinV);
  Eigen::Map<Vec>(beta, p) = svd.solve(Eigen::Map<const Vec>(c, p));
}

#if defined(__AVX2__)
// Four rows to a register, sixteen to a block; every product and sum a separate operation.
inline __m256i count_hits4(__m256i acc, __m256d xb, const double* y, __m256d tol) {
  const __m256d d = _mm256_andnot_pd(_mm256_set1_pd(-0.0), _mm256_sub_pd(xb, _mm256_loadu_pd(y)));
  return _mm256_sub_epi64(acc, _mm256_castpd_si256(_mm256_cmp_pd(d, tol, _CMP_LT_OQ)));
}

std::ptrdiff_t hits_of_product(const double* xd, std::ptrdiff_t n, std::ptrdiff_t k,
                               const double* bd, const double* yd, double eps) {
  const __m256d tol = _mm256_set1_pd(eps);
  __m256i acc = _mm256_setzero_si256();
  Index i = 0;
  for (; i + 16 <= n; i += 16) {
    __m256d c0 = _mm256_setzero_pd(), c1 = c0, c2 = c0, c3 = c0;
    const double* x = xd + i;
    for (Index j = 0; j < k; ++j, x += n) {
      const __m256d bj = _mm256_broadcast_sd(bd + j);
      c0 = _mm256_add_pd(c0, _mm256_mul_pd(_mm256_loadu_pd(x), bj));
      c1 = _mm256_add_pd(c1, _mm256_mul_pd(_mm256_loadu_pd(x + 4), bj));
      c2 = _mm256_add_pd(c2, _mm256_mul_pd(_mm256_loadu_pd(x + 8), bj));
      c3 = _mm256_add_pd(c3, _mm256_mul_pd(_mm256_loadu_pd(x + 12), bj));
    }
    acc = count_hits4(count_hits4(acc, c0, yd + i, tol), c1, yd + i + 4, tol);
    acc = count_hits4(count_hits4(acc, c2, yd + i + 8, tol), c3, yd + i + 12, tol);
  }
  for (; i + 4 <= n; i += 4) {
    __m256d c = _mm256_setzero_pd();
    const double* x = xd + i;
    for (Index j = 0; j < k; ++j, x += n)
      c = _mm256_add_pd(c, _mm256_mul_pd(_mm256_loadu_pd(x), _mm256_broadcast_sd(bd + j)));
    acc = count_hits4(acc, c, yd + i, tol);
  }
  alignas(32) std::int64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc);
  Index hits = static_cast<Index>(lanes[0] + lanes[1] + lanes[2] + lanes[3]);
  for (; i < n; ++i) {
    double c = 0.0;
    for (Index j = 0; j < k; ++j) c = c + xd[i + j * n] * bd[j];
    hits += std::abs(c - yd[i]) < eps ? 1 : 0;
  }
  return hits;
}
#else
// Eight rows at a time in registers, then the hit test on them; a comparison mask is -1 per
// hit, subtracted from 64-bit counters.
std::ptrdiff_t hits_of_product(const double* xd, std::ptrdiff_t n, std::ptrdiff_t k,
                               const double* bd, const double* yd, double eps) {
  Index hits = 0, i = 0;
#if defined(__SSE2__)
  const __m128d tol = _mm_set1_pd(eps), sign = _mm_set1_pd(-0.0);
  const auto count = [&](__m128i acc, __m128d xb, Index at) {
    const __m128d d = _mm_andnot_pd(sign, _mm_sub_pd(xb, _mm_loadu_pd(yd + at)));
    return _mm_sub_epi64(acc, _mm_castpd_si128(_mm_cmplt_pd(d, tol)));
  };
  __m128i acc = _mm_setzero_si128();
  for (; i + 8 <= n; i += 8) {
    __m128d c0 = _mm_setzero_pd(), c1 = c0, c2 = c0, c3 = c0;
    const double* x = xd + i;
    for (Index j = 0; j < k; ++j, x += n) {
      const __m128d bj = _mm_set1_pd(bd[j]);
      c0 = _mm_add_pd(c0, _mm_mul_pd(_mm_loadu_pd(x), bj));
      c1 = _mm_add_pd(c1, _mm_mul_pd(_mm_loadu_pd(x + 2), bj));
      c2 = _mm_add_pd(c2, _mm_mul_pd(_mm_loadu_pd(x + 4), bj));
      c3 = _mm_add_pd(c3, _mm_mul_pd(_mm_loadu_pd(x + 6), bj));
    }
    acc = count(count(count(count(acc, c0, i), c1, i + 2), c2, i + 4), c3, i + 6);
  }
  for (; i + 2 <= n; i += 2) {
    __m128d c = _mm_setzero_pd();
    const double* x = xd + i;
    for (Index j = 0; j < k; ++j, x += n)
      c = _mm_add_pd(c, _mm_mul_pd(_mm_loadu_pd(x), _mm_set1_pd(bd[j])));
    acc = count(acc, c, i);
  }
  alignas(16) std::int64_t lanes[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), acc);
  hits = static_cast<Index>(lanes[0] + lanes[1]);
#endif
  for (; i < n; ++i) {
    double c = 0.0;
    for (Index j = 0; j < k; ++j) c = c + xd[i + j * n] * bd[j];
    hits += std::abs(c - yd[i]) < eps ? 1 : 0;
  }
  return hits;
}
#endif

}  // namespace

extern const KernelForm DORV_FORM_TABLE;
const KernelForm DORV_FORM_TABLE = {DORV_STRINGIFY(DORV_FORM_NAME), gram_rows, qr_rows,
                                    solve_triangular_svd, hits_of_product};

}  // namespace dorv
