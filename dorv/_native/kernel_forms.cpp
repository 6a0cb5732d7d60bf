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

#include <Eigen/Core>
#include <Eigen/QR>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

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

void copy_entries(const VectorView& y, Index r0, Index h, double* out) {
  if (y.step == 1) {
    std::memcpy(out, y.data + r0, sizeof(double) * std::size_t(h));
    return;
  }
  for (Index i = 0; i < h; ++i) out[i] = y.data[(r0 + i) * y.step];
}

// Four doubles (four rows of a column, or four columns of a row) and a multiply-add on them:
// fused where the form has fused multiply-adds, a product then a sum otherwise.
#if defined(__AVX2__) && defined(__FMA__)
struct Lanes {
  __m256d v;
};
inline Lanes zero_lanes() { return {_mm256_setzero_pd()}; }
inline Lanes load_lanes(const double* p) { return {_mm256_loadu_pd(p)}; }
inline Lanes broadcast_lanes(const double* p) { return {_mm256_broadcast_sd(p)}; }
inline void store_lanes(double* p, Lanes a) { _mm256_storeu_pd(p, a.v); }
inline Lanes add_lanes(Lanes a, Lanes b) { return {_mm256_add_pd(a.v, b.v)}; }
inline Lanes madd(Lanes a, Lanes b, Lanes acc) { return {_mm256_fmadd_pd(a.v, b.v, acc.v)}; }
// The 4 x 4 block whose columns are c[0] ... c[3], by rows.
inline void transpose(Lanes c[4]) {
  const __m256d ab0 = _mm256_unpacklo_pd(c[0].v, c[1].v), ab1 = _mm256_unpackhi_pd(c[0].v, c[1].v);
  const __m256d cd0 = _mm256_unpacklo_pd(c[2].v, c[3].v), cd1 = _mm256_unpackhi_pd(c[2].v, c[3].v);
  c[0].v = _mm256_permute2f128_pd(ab0, cd0, 0x20);
  c[1].v = _mm256_permute2f128_pd(ab1, cd1, 0x20);
  c[2].v = _mm256_permute2f128_pd(ab0, cd0, 0x31);
  c[3].v = _mm256_permute2f128_pd(ab1, cd1, 0x31);
}
// Panels per tile of the Gram product, A below: 12 accumulators and 4 operands fill the 16
// registers.
constexpr int kTilePanels = 3;
#else
struct Lanes {
  __m128d lo, hi;
};
inline Lanes zero_lanes() { return {_mm_setzero_pd(), _mm_setzero_pd()}; }
inline Lanes load_lanes(const double* p) { return {_mm_loadu_pd(p), _mm_loadu_pd(p + 2)}; }
inline Lanes broadcast_lanes(const double* p) { return {_mm_load1_pd(p), _mm_load1_pd(p)}; }
inline void store_lanes(double* p, Lanes a) {
  _mm_storeu_pd(p, a.lo);
  _mm_storeu_pd(p + 2, a.hi);
}
inline Lanes add_lanes(Lanes a, Lanes b) {
  return {_mm_add_pd(a.lo, b.lo), _mm_add_pd(a.hi, b.hi)};
}
inline Lanes madd(Lanes a, Lanes b, Lanes acc) {
  return {_mm_add_pd(acc.lo, _mm_mul_pd(a.lo, b.lo)), _mm_add_pd(acc.hi, _mm_mul_pd(a.hi, b.hi))};
}
inline void transpose(Lanes c[4]) {
  const Lanes r0 = {_mm_unpacklo_pd(c[0].lo, c[1].lo), _mm_unpacklo_pd(c[2].lo, c[3].lo)};
  const Lanes r1 = {_mm_unpackhi_pd(c[0].lo, c[1].lo), _mm_unpackhi_pd(c[2].lo, c[3].lo)};
  const Lanes r2 = {_mm_unpacklo_pd(c[0].hi, c[1].hi), _mm_unpacklo_pd(c[2].hi, c[3].hi)};
  const Lanes r3 = {_mm_unpackhi_pd(c[0].hi, c[1].hi), _mm_unpackhi_pd(c[2].hi, c[3].hi)};
  c[0] = r0;
  c[1] = r1;
  c[2] = r2;
  c[3] = r3;
}
constexpr int kTilePanels = 1;  // 16 registers of two doubles: 8 accumulators
#endif

// Rows per block of the Gram product: the packed block (cp columns) takes about 256 KiB, with
// 64 to 512 rows (fewer where there are fewer).
Index gram_block_rows(Index cp) {
  return std::clamp<Index>((Index{1} << 15) / cp / 8 * 8, 64, 512);
}

// Rows r0 <= i < r0 + h of [X y] packed into panels of four columns, each panel row after row:
// entry (k, j) at P[(j / 4) * stride + 4 k + j % 4]. Entries of columns past X.cols are left as
// they are.
void pack_panels(const MatrixView& X, const VectorView& y, Index r0, Index h, double* P,
                 Index stride) {
  const Index p = X.cols, full = p / 4 * 4;
  if (X.col_step == 1) {  // C order: row after row, four contiguous columns at a time
    for (Index k = 0; k < h; ++k) {
      const double* row = X.data + (r0 + k) * X.row_step;
      for (Index j0 = 0; j0 < full; j0 += 4)
        store_lanes(P + j0 / 4 * stride + 4 * k, load_lanes(row + j0));
    }
  } else {
    for (Index j0 = 0; j0 < full; j0 += 4) {
      double* out = P + j0 / 4 * stride;
      Index k = 0;
      if (X.row_step == 1) {  // column-major: blocks of 4 x 4 turned in registers
        const double* col = X.data + r0 + j0 * X.col_step;
        for (; k + 4 <= h; k += 4) {
          Lanes c[4];
          for (int j = 0; j < 4; ++j) c[j] = load_lanes(col + j * X.col_step + k);
          transpose(c);
          for (int r = 0; r < 4; ++r) store_lanes(out + 4 * (k + r), c[r]);
        }
      }
      for (; k < h; ++k)
        for (Index j = 0; j < 4; ++j) out[4 * k + j] = X(r0 + k, j0 + j);
    }
  }
  double* out = P + full / 4 * stride;
  for (Index k = 0; k < h; ++k) {
    for (Index j = full; j < p; ++j) out[4 * k + j - full] = X(r0 + k, j);
    out[4 * k + p - full] = y(r0 + k);
  }
}

// Adds to S (leading dimension ld) the products of the packed panels qa ... qa + A - 1 with
// panel qb over the h rows of the block: S(a, b) += sum_k P(k, a) P(k, b), each sum taken over
// k in increasing order from zero and added to S last.
template <int A>
void gram_tile(const double* P, Index stride, Index h, Index qa, Index qb, double* S, Index ld) {
  Lanes acc[A][4];
  for (int i = 0; i < A; ++i)
    for (int j = 0; j < 4; ++j) acc[i][j] = zero_lanes();
  const double* pa = P + qa * stride;
  const double* pb = P + qb * stride;
  for (Index k = 0; k < h; ++k) {
    Lanes a[A];
    for (int i = 0; i < A; ++i) a[i] = load_lanes(pa + i * stride + 4 * k);
    for (int j = 0; j < 4; ++j) {
      const Lanes b = broadcast_lanes(pb + 4 * k + j);
      for (int i = 0; i < A; ++i) acc[i][j] = madd(a[i], b, acc[i][j]);
    }
  }
  for (int i = 0; i < A; ++i)
    for (int j = 0; j < 4; ++j) {
      double* s = S + 4 * (qa + i) + (4 * qb + j) * ld;
      store_lanes(s, add_lanes(load_lanes(s), acc[i][j]));
    }
}

// gram_tile of `a` panels from qa (1 <= a <= kTilePanels).
void gram_panels(const double* P, Index stride, Index h, Index qa, Index qb, double* S, Index ld,
                 Index a) {
  if constexpr (kTilePanels >= 3)
    if (a == 3) return gram_tile<3>(P, stride, h, qa, qb, S, ld);
  if constexpr (kTilePanels >= 2)
    if (a == 2) return gram_tile<2>(P, stride, h, qa, qb, S, ld);
  gram_tile<1>(P, stride, h, qa, qb, S, ld);
}

// The Gram products of [X y] by blocks of rows, each block packed once into panels of four
// columns (zero columns pad [X y] to a multiple of 4; zeros add nothing to a sum). Every entry
// is summed per block over its rows in increasing order, and the blocks' sums are added in
// increasing order: the order depends on r0, r1 and p alone, not on the layout of X.
void gram_rows(const MatrixView& X, const VectorView& y, std::ptrdiff_t r0, std::ptrdiff_t r1,
               double* G, double* g, Progress progress) {
  const Index p = X.cols;
  const Index used = (p + 1 + 3) / 4;  // panels that hold [X y]
  const Index panels = (used + kTilePanels - 1) / kTilePanels * kTilePanels;
  const Index cp = 4 * panels;
  const Index h = std::min(gram_block_rows(cp), (r1 - r0 + 7) / 8 * 8), stride = 4 * h;
  Vec P = Vec::Zero(panels * stride);
  Mat S = Mat::Zero(cp, cp);
  for (Index i = r0; i < r1; i += h) {
    const Index rows = std::min(h, r1 - i);
    pack_panels(X, y, i, rows, P.data(), stride);
    // The tiles that hold the lower triangle of [X y]'s products with X's columns: rows from
    // the panel of the column down to the last panel of [X y]. Each entry has a sum of its own,
    // whichever tile takes it.
    for (Index qb = 0; qb < (p + 3) / 4; ++qb)
      for (Index qa = qb; qa < used; qa += kTilePanels)
        gram_panels(P.data(), stride, rows, qa, qb, S.data(), cp,
                    std::min<Index>(kTilePanels, used - qa));
    progress(double(rows) * double(cp) * double(cp + 4) / 2.0);
  }
  for (Index b = 0; b < p; ++b) {
    for (Index a = b; a < p; ++a) G[a + b * p] = S(a, b);
    g[b] = S(p, b);
  }
}

// Rows r0 <= i < r0 + h of X into out (h, X.cols) column-major, leading dimension ld.
void copy_rows(const MatrixView& X, Index r0, Index h, double* out, Index ld) {
  if (X.row_step == 1) {
    for (Index j = 0; j < X.cols; ++j)
      std::memcpy(out + j * ld, X.data + r0 + j * X.col_step, sizeof(double) * std::size_t(h));
    return;
  }
  if (X.col_step == 1) {  // C order: each row is contiguous; blocks of 4 x 4 turned in registers
    Index i = 0;
    for (; i + 4 <= h; i += 4) {
      const double* row = X.data + (r0 + i) * X.row_step;
      Index j = 0;
      for (; j + 4 <= X.cols; j += 4) {
        Lanes c[4];
        for (int r = 0; r < 4; ++r) c[r] = load_lanes(row + r * X.row_step + j);
        transpose(c);
        for (int k = 0; k < 4; ++k) store_lanes(out + i + (j + k) * ld, c[k]);
      }
      for (; j < X.cols; ++j)
        for (Index k = 0; k < 4; ++k) out[i + k + j * ld] = row[k * X.row_step + j];
    }
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

// The working storage of qr_rows and its factorisation, which a long step may own once the
// call has stopped: W holds the factor so far (top c rows, from the second block on) over the
// next block, of which the first `used` rows are factored.
struct QrBlocks {
  Mat W;
  Eigen::HouseholderQR<Mat> qr;
  Index used = 0;
  bool failed = false;  // out of memory in the factorisation

  static void factor(void* state) {
    auto& s = *static_cast<QrBlocks*>(state);
    try {
      s.qr.compute(s.W.topRows(s.used));
    } catch (const std::bad_alloc&) {
      s.failed = true;
    }
  }
  static void release(void* state) { delete static_cast<QrBlocks*>(state); }
};

void qr_rows(const MatrixView& X, const VectorView& y, std::ptrdiff_t r0, std::ptrdiff_t r1,
             double* R, Progress progress, LongStep long_step) {
  const Index p = X.cols, c = p + (y.data != nullptr ? 1 : 0);
  const Index h = block_rows(c, 4 * c);
  Map Rm(R, c, c);
  Rm.setZero();
  auto blocks = std::make_unique<QrBlocks>();
  Mat& W = blocks->W;
  W.resize(c + h, c);
  Index top = 0;  // rows of W above the block: 0 for the first block, c afterwards
  for (Index i = r0; i < r1; i += h) {
    const Index rows = std::min(h, r1 - i);
    copy_rows(X, i, rows, W.data() + top, W.rows());
    if (c > p) copy_entries(y, i, rows, W.col(p).data() + top);
    blocks->used = top + rows;
    const double work = 4.0 * double(c + rows) * double(c) * double(c);
    if (work < kLongStepWork) {
      QrBlocks::factor(blocks.get());
    } else {
      try {
        long_step(QrBlocks::factor, blocks.get(), QrBlocks::release);
      } catch (...) {
        blocks.release();  // the step's now
        throw;
      }
    }
    if (blocks->failed) throw std::bad_alloc();
    const Index k = std::min(top + rows, c);
    Rm.topRows(k) = blocks->qr.matrixQR().topRows(k).triangularView<Eigen::Upper>();
    W.topRows(c) = Rm;
    top = c;
    progress(work);
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
