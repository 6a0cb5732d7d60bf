// One form of the dense kernels, compiled once per instruction set with DORV_FORM_TABLE naming
// its table and `Eigen` defined to a namespace of the form's own (see kernel_forms.hpp). Every
// intrinsic of the library lives here. Compiled without contraction into fused multiply-adds:
// the hit kernels must keep every product and sum apart, while the Gram tiles and Eigen's
// kernels use fused multiply-adds explicitly where the form has them.
//
// A form defines nothing outside its anonymous namespace and Eigen's renamed one but its table,
// and calls none of common.hpp's inline functions: an out-of-line copy of one, compiled here
// for this form's instruction set, could be the copy the linker keeps for every caller.

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
  if (X.col_step == 1) {  // C order: each row is contiguous
    Index i = 0;
#if defined(__AVX2__)
    // Blocks of 4 x 4 transposed in registers.
    for (; i + 4 <= h; i += 4) {
      const double* row = X.data + (r0 + i) * X.row_step;
      Index j = 0;
      for (; j + 4 <= X.cols; j += 4) {
        const __m256d a = _mm256_loadu_pd(row + j), b = _mm256_loadu_pd(row + X.row_step + j);
        const __m256d c = _mm256_loadu_pd(row + 2 * X.row_step + j);
        const __m256d d = _mm256_loadu_pd(row + 3 * X.row_step + j);
        const __m256d ab0 = _mm256_unpacklo_pd(a, b), ab1 = _mm256_unpackhi_pd(a, b);
        const __m256d cd0 = _mm256_unpacklo_pd(c, d), cd1 = _mm256_unpackhi_pd(c, d);
        double* o = out + i + j * ld;
        _mm256_storeu_pd(o, _mm256_permute2f128_pd(ab0, cd0, 0x20));
        _mm256_storeu_pd(o + ld, _mm256_permute2f128_pd(ab1, cd1, 0x20));
        _mm256_storeu_pd(o + 2 * ld, _mm256_permute2f128_pd(ab0, cd0, 0x31));
        _mm256_storeu_pd(o + 3 * ld, _mm256_permute2f128_pd(ab1, cd1, 0x31));
      }
      for (; j < X.cols; ++j)
        for (Index k = 0; k < 4; ++k) out[i + k + j * ld] = row[k * X.row_step + j];
    }
#endif
    for (; i < h; ++i) {
      const double* row = X.data + (r0 + i) * X.row_step;
      for (Index j = 0; j < X.cols; ++j) out[i + j * ld] = row[j];
    }
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

// Four doubles, one per row of four consecutive rows, and a multiply-add on them: fused where
// the form has fused multiply-adds, a product then a sum otherwise.
#if defined(__AVX2__) && defined(__FMA__)
struct Lanes {
  __m256d v;
};
inline Lanes load_lanes(const double* p) { return {_mm256_loadu_pd(p)}; }
inline void store_lanes(double* p, Lanes a) { _mm256_storeu_pd(p, a.v); }
inline Lanes madd(Lanes a, Lanes b, Lanes acc) { return {_mm256_fmadd_pd(a.v, b.v, acc.v)}; }
#else
struct Lanes {
  __m128d lo, hi;
};
inline Lanes load_lanes(const double* p) { return {_mm_loadu_pd(p), _mm_loadu_pd(p + 2)}; }
inline void store_lanes(double* p, Lanes a) {
  _mm_storeu_pd(p, a.lo);
  _mm_storeu_pd(p + 2, a.hi);
}
inline Lanes madd(Lanes a, Lanes b, Lanes acc) {
  return {_mm_add_pd(acc.lo, _mm_mul_pd(a.lo, b.lo)), _mm_add_pd(acc.hi, _mm_mul_pd(a.hi, b.hi))};
}
#endif

// Adds to S the products of columns a0 ... a0 + 3 with columns b0, b0 + 1 of B (h rows, h a
// multiple of 4, leading dimension ld) four rows at a time: S(a, b) holds four partial sums, one
// per row modulo 4, at S + 4 (a cp + b).
void gram_tile(const double* B, Index h, Index ld, Index a0, Index b0, Index cp, double* S) {
  Lanes acc[4][2];
  for (int a = 0; a < 4; ++a)
    for (int b = 0; b < 2; ++b) acc[a][b] = load_lanes(S + 4 * ((a0 + a) * cp + b0 + b));
  const double* A = B + a0 * ld;
  const double* C = B + b0 * ld;
  for (Index i = 0; i < h; i += 4) {
    const Lanes c0 = load_lanes(C + i), c1 = load_lanes(C + ld + i);
    for (int a = 0; a < 4; ++a) {
      const Lanes x = load_lanes(A + a * ld + i);
      acc[a][0] = madd(x, c0, acc[a][0]);
      acc[a][1] = madd(x, c1, acc[a][1]);
    }
  }
  for (int a = 0; a < 4; ++a)
    for (int b = 0; b < 2; ++b) store_lanes(S + 4 * ((a0 + a) * cp + b0 + b), acc[a][b]);
}

// Above this many columns (of [X y]) the library's blocked product reuses what it loads better
// than the tiles of gram_rows_narrow, whose columns no longer fit in the first-level cache.
constexpr Index kNarrowGramMax = 64;

// The Gram products of [X y] by blocks of rows copied into column-major storage, padded with
// zero rows and columns to multiples of 4 (zeros add nothing to a sum). Every entry is summed in
// four partial sums, one per row modulo 4, over all rows in increasing order, and the four are
// added last as (s0 + s1) + (s2 + s3).
void gram_rows_narrow(const MatrixView& X, const VectorView& y, Index r0, Index r1, double* G,
                      double* g, Progress progress) {
  const Index p = X.cols, c = p + 1, cp = (c + 3) / 4 * 4;
  const Index h = std::min<Index>(256, (r1 - r0 + 3) / 4 * 4);
  // Columns 2 KiB apart would share sets of the first-level cache as a row-major block is
  // scattered into them: the leading dimension is padded.
  const Index ld = h + 8;
  Mat B = Mat::Zero(ld, cp);
  Vec S = Vec::Zero(4 * cp * cp);
  for (Index i = r0; i < r1; i += h) {
    const Index rows = std::min(h, r1 - i);
    if (rows < h) B.setZero();
    copy_rows(X, i, rows, B.data(), ld);
    copy_entries(y, i, rows, B.col(p).data());
    for (Index b0 = 0; b0 < cp; b0 += 2)
      for (Index a0 = b0 / 4 * 4; a0 < cp; a0 += 4)
        gram_tile(B.data(), h, ld, a0, b0, cp, S.data());
    progress(double(h) * double(cp) * double(cp));
  }
  const auto total = [&](Index a, Index b) {
    const double* s = S.data() + 4 * (a * cp + b);
    return (s[0] + s[1]) + (s[2] + s[3]);
  };
  for (Index b = 0; b < p; ++b) {
    for (Index a = b; a < p; ++a) G[a + b * p] = total(a, b);
    g[b] = total(p, b);
  }
}

// The same for wide X: the library's rank update and product, block by block.
void gram_rows_wide(const MatrixView& X, const VectorView& y, Index r0, Index r1, double* G,
                    double* g, Progress progress) {
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
    progress(double(rows) * double(p) * double(p + 2));
  }
}

void gram_rows(const MatrixView& X, const VectorView& y, std::ptrdiff_t r0, std::ptrdiff_t r1,
               double* G, double* g, Progress progress) {
  if (X.cols + 1 <= kNarrowGramMax)
    gram_rows_narrow(X, y, r0, r1, G, g, progress);
  else
    gram_rows_wide(X, y, r0, r1, G, g, progress);
}

void qr_rows(const MatrixView& X, const VectorView& y, std::ptrdiff_t r0, std::ptrdiff_t r1,
             double* R, Progress progress) {
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
    progress(4.0 * double(c + rows) * double(c) * double(c));
  }
}

// The hit test of a register of differences: adds 1 to the lane of acc where |d| < eps (a
// comparison mask is -1 per hit, subtracted from 64-bit counters); NaN is no hit.
#if defined(__AVX2__)
constexpr Index kLanes = 4;
using Diffs = __m256d;
using Counts = __m256i;
inline Counts no_counts() { return _mm256_setzero_si256(); }
inline Diffs broadcast(double v) { return _mm256_set1_pd(v); }
inline Diffs load(const double* p) { return _mm256_loadu_pd(p); }
inline Diffs add(Diffs a, Diffs b) { return _mm256_add_pd(a, b); }
inline Diffs sub(Diffs a, Diffs b) { return _mm256_sub_pd(a, b); }
inline Diffs mul(Diffs a, Diffs b) { return _mm256_mul_pd(a, b); }
inline Counts count_hits(Counts acc, Diffs d, Diffs tol) {
  const Diffs size = _mm256_andnot_pd(_mm256_set1_pd(-0.0), d);
  return _mm256_sub_epi64(acc, _mm256_castpd_si256(_mm256_cmp_pd(size, tol, _CMP_LT_OQ)));
}
inline Index total(Counts acc) {
  alignas(32) std::int64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc);
  return static_cast<Index>(lanes[0] + lanes[1] + lanes[2] + lanes[3]);
}
#else
constexpr Index kLanes = 2;
using Diffs = __m128d;
using Counts = __m128i;
inline Counts no_counts() { return _mm_setzero_si128(); }
inline Diffs broadcast(double v) { return _mm_set1_pd(v); }
inline Diffs load(const double* p) { return _mm_loadu_pd(p); }
inline Diffs add(Diffs a, Diffs b) { return _mm_add_pd(a, b); }
inline Diffs sub(Diffs a, Diffs b) { return _mm_sub_pd(a, b); }
inline Diffs mul(Diffs a, Diffs b) { return _mm_mul_pd(a, b); }
inline Counts count_hits(Counts acc, Diffs d, Diffs tol) {
  const Diffs size = _mm_andnot_pd(_mm_set1_pd(-0.0), d);
  return _mm_sub_epi64(acc, _mm_castpd_si128(_mm_cmplt_pd(size, tol)));
}
inline Index total(Counts acc) {
  alignas(16) std::int64_t lanes[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), acc);
  return static_cast<Index>(lanes[0] + lanes[1]);
}
#endif

// Four registers of rows to a block, then one register at a time, then the rows left over one
// by one; every product and sum of X b a separate operation, summed from column 0 up.
std::ptrdiff_t hits_of_product(const double* xd, std::ptrdiff_t n, std::ptrdiff_t k,
                               const double* bd, const double* yd, double eps) {
  const Diffs tol = broadcast(eps);
  Counts acc = no_counts();
  Index i = 0;
  for (; i + 4 * kLanes <= n; i += 4 * kLanes) {
    Diffs c[4] = {broadcast(0.0), broadcast(0.0), broadcast(0.0), broadcast(0.0)};
    const double* x = xd + i;
    for (Index j = 0; j < k; ++j, x += n) {
      const Diffs bj = broadcast(bd[j]);
      for (int r = 0; r < 4; ++r) c[r] = add(c[r], mul(load(x + r * kLanes), bj));
    }
    for (int r = 0; r < 4; ++r) acc = count_hits(acc, sub(c[r], load(yd + i + r * kLanes)), tol);
  }
  for (; i + kLanes <= n; i += kLanes) {
    Diffs c = broadcast(0.0);
    const double* x = xd + i;
    for (Index j = 0; j < k; ++j, x += n) c = add(c, mul(load(x), broadcast(bd[j])));
    acc = count_hits(acc, sub(c, load(yd + i)), tol);
  }
  Index hits = total(acc);
  for (; i < n; ++i) {
    double c = 0.0;
    for (Index j = 0; j < k; ++j) c = c + xd[i + j * n] * bd[j];
    hits += std::abs(c - yd[i]) < eps ? 1 : 0;
  }
  return hits;
}

std::ptrdiff_t hits_within(const double* p, const double* t, std::ptrdiff_t n, double eps) {
  const Diffs tol = broadcast(eps);
  Counts acc0 = no_counts(), acc1 = no_counts();
  Index i = 0;
  for (; i + 2 * kLanes <= n; i += 2 * kLanes) {
    acc0 = count_hits(acc0, sub(load(p + i), load(t + i)), tol);
    acc1 = count_hits(acc1, sub(load(p + i + kLanes), load(t + i + kLanes)), tol);
  }
  Index hits = total(acc0) + total(acc1);
  for (; i < n; ++i) hits += std::abs(p[i] - t[i]) < eps ? 1 : 0;
  return hits;
}

}  // namespace

extern const KernelForm DORV_FORM_TABLE;
const KernelForm DORV_FORM_TABLE = {DORV_STRINGIFY(DORV_FORM_NAME), gram_rows, qr_rows,
                                    hits_of_product, hits_within};

}  // namespace dorv
