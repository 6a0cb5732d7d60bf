#include "bases.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

namespace dorv {

namespace {

// p (p - 1) as a double, formed in 64 bits so that it cannot overflow for any int degree.
double falling2(Index p) { return static_cast<double>(std::int64_t{p} * (p - 1)); }

// R += w (v v'), with the product v_p v_q formed before the weight so that every update is
// exactly symmetric.
void add_weighted_outer(Matrix& R, double w, const Vector& v) {
  for (Index q = 0; q < v.size(); ++q) R.col(q).array() += w * (v.array() * v[q]);
}

// Calls fill(begin, size) over rows 0 ... n - 1 of a column that starts at `column`, in blocks
// of some 2^15 rows with a stop point (`work` units per row) after each. Blocks begin where the
// column's storage is 64-byte aligned, so that the vectorised expressions split every block
// into packets exactly as they split the whole column: the values are the same, bit for bit.
template <class Fill>
void fill_in_blocks(const double* column, Index n, double work, const Fill& fill) {
  constexpr Index block = Index{1} << 15;
  const auto misaligned = static_cast<Index>(reinterpret_cast<std::uintptr_t>(column) % 64);
  Index begin = 0, end = std::min(n, (misaligned == 0 ? 0 : (64 - misaligned) / 8) + block);
  while (begin < n) {
    fill(begin, end - begin);
    stop_point(work * static_cast<double>(end - begin));
    begin = end;
    end = std::min(n, end + block);
  }
}

}  // namespace

// Rows of a fill are split into chunks of at least 2^18 entries, each filled by blocks of 256
// rows so that a block's columns stay in cache while the next column is formed from them.
constexpr Index kFillBlock = 256;

Index fill_chunks(Index n, Index cols) {
  return chunk_count(static_cast<double>(n) / kFillBlock,
                     8.0 * static_cast<double>(n) * static_cast<double>(cols));
}

Matrix design_matrix_1d(int deg, const VectorView& x) {
  if (deg < 0) throw std::invalid_argument("deg < 0");
  const Index n = x.size;
  const Index cols = Index{deg} + 1;
  require_doubles(static_cast<double>(n) * static_cast<double>(cols));
  Matrix Phi(n, cols);
  if (n == 0) return Phi;
  prepare_fresh(Phi.data(), Phi.size());
  const Index chunks = fill_chunks(n, cols);
  for_each_chunk(chunks, [&](Index c) {
    const Index r1 = chunk_start(n, chunks, c + 1);
    for (Index i = chunk_start(n, chunks, c); i < r1; i += kFillBlock) {
      const Index h = std::min(kFillBlock, r1 - i);
      auto xb = Phi.col(0).segment(i, h);  // x of the block, until column 1 takes it
      for (Index k = 0; k < h; ++k) xb[k] = x(i + k);
      if (cols > 1) Phi.col(1).segment(i, h) = xb;
      xb.setOnes();
      for (Index p = 2; p < cols; ++p)
        Phi.col(p).segment(i, h) = Phi.col(p - 1).segment(i, h).cwiseProduct(Phi.col(1).segment(i, h));
      stop_point(static_cast<double>(h) * static_cast<double>(cols));
    }
  });
  return Phi;
}

void deriv_row(double x, int deg, int order, Eigen::Ref<Vector> out) {
  for (Index p = 0; p <= deg; ++p) {
    if (order == 1)
      out[p] = p == 0 ? 0.0 : static_cast<double>(p) * std::pow(x, static_cast<double>(p - 1));
    else
      out[p] = p < 2 ? 0.0 : falling2(p) * std::pow(x, static_cast<double>(p - 2));
  }
}

Matrix boundary_reduce_1d(int deg, double x_min, double x_max) {
  if (deg < -1) throw std::invalid_argument("deg < 0");
  const Index M = Index{deg} + 1;
  require_doubles(2.0 * static_cast<double>(M) * static_cast<double>(M));
  Vector a1(M), a2(M), b1(M), b2(M);
  deriv_row(x_min, deg, 1, a1);
  deriv_row(x_min, deg, 2, a2);
  deriv_row(x_max, deg, 1, b1);
  deriv_row(x_max, deg, 2, b2);
  Matrix Rb = b2 * b1.transpose();
  Rb -= a2 * a1.transpose();
  return 0.5 * (Rb + Rb.transpose());
}

PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min, double x_max,
                                                 int n_grid) {
  if (deg < 0) throw std::invalid_argument("deg < 0");
  if (n_grid < 2) throw std::invalid_argument("n_grid < 2");
  const Index M = Index{deg} + 1;
  require_doubles(2.0 * static_cast<double>(M) * static_cast<double>(M));
  const double dx = (x_max - x_min) / static_cast<double>(n_grid - 1);
  PenaltyMatrices1D pm{Matrix::Zero(M, M), Matrix::Zero(M, M)};
  Vector d1(M), d2(M);
  for (int g = 0; g < n_grid; ++g) {
    const double x = x_min + g * dx;
    deriv_row(x, deg, 1, d1);
    deriv_row(x, deg, 2, d2);
    add_weighted_outer(pm.R1, dx, d1);
    add_weighted_outer(pm.R2, dx, d2);
    stop_point(4.0 * static_cast<double>(M) * static_cast<double>(M + 10));
  }
  return pm;
}

// An odometer over the variables dim ... D - 1, the last one turning fastest: the order of a
// depth-first recursion over the variables, without a stack frame per variable (a list of a
// million zero degrees is one multi-index, not a million nested calls).
void generate_multi_indices(const std::vector<int>& degrees, std::size_t dim,
                            std::vector<int>& current, MultiIndexList& out) {
  const std::size_t D = degrees.size();
  for (std::size_t d = dim; d < D; ++d) {
    if (degrees[d] < 0) return;
    current[d] = 0;
  }
  for (;;) {
    out.push_back(current);
    std::size_t d = D;
    // Digits at their maximum roll over to 0; the first one below it (from the end) steps up,
    // so no digit ever passes its degree and INT_MAX cannot overflow.
    while (d > dim && current[d - 1] == degrees[d - 1]) current[--d] = 0;
    if (d == dim) return;
    ++current[d - 1];
  }
}

double col_deriv_scalar(double val, int p, int order) {
  if (order == 0) return std::pow(val, static_cast<double>(p));
  if (order == 1) return p <= 0 ? 0.0 : p * std::pow(val, static_cast<double>(p - 1));
  return p <= 1 ? 0.0 : falling2(p) * std::pow(val, static_cast<double>(p - 2));
}

Matrix design_matrix_nd(const MultiIndexList& multi_indices, const std::vector<Vector>& X_cols) {
  if (X_cols.empty()) throw std::invalid_argument("design_matrix_nd: X_cols is empty");
  const std::size_t D = X_cols.size();
  const Index n = X_cols[0].size();
  for (std::size_t d = 1; d < D; ++d)
    if (X_cols[d].size() != n)
      throw std::invalid_argument("design_matrix_nd: X_cols[" + std::to_string(d) + "] has " +
                                  std::to_string(X_cols[d].size()) + " samples, X_cols[0] has " +
                                  std::to_string(n));
  for (std::size_t j = 0; j < multi_indices.size(); ++j)
    if (multi_indices[j].size() < D)
      throw std::invalid_argument("design_matrix_nd: multi_indices[" + std::to_string(j) +
                                  "] has " + std::to_string(multi_indices[j].size()) +
                                  " exponents for " + std::to_string(D) + " variables");
  const auto M = static_cast<Index>(multi_indices.size());
  require_doubles(static_cast<double>(n) * static_cast<double>(M));
  Matrix Phi(n, M);
  if (n == 0) return Phi;
  prepare_fresh(Phi.data(), Phi.size());
  // The powers of each variable that some column takes, each computed once per sample: power
  // k is x_{variable[k]}^exponent[k], and factor[j * D + d] is the power that column j takes of
  // variable d (-1: none).
  std::map<std::pair<std::size_t, int>, Index> power_of;
  std::vector<std::size_t> variable;
  std::vector<int> exponent;
  std::vector<Index> factor(static_cast<std::size_t>(M) * D, -1);
  for (std::size_t j = 0; j < multi_indices.size(); ++j)
    for (std::size_t d = 0; d < D; ++d) {
      const int e = multi_indices[j][d];
      if (e <= 0) continue;
      const auto [at, fresh] = power_of.emplace(std::make_pair(d, e), Index(variable.size()));
      if (fresh) {
        variable.push_back(d);
        exponent.push_back(e);
      }
      factor[j * D + d] = at->second;
    }
  const auto n_powers = static_cast<Index>(variable.size());
  // The library's power of a column runs by packets from the column's first aligned entry to
  // its last whole packet, and entry by entry elsewhere; the two round differently. The table
  // holds the packet results for every sample (from a padded, aligned copy), and the entries of
  // each column that the column's own evaluation takes one by one are formed by std::pow, so
  // that every value is the one of a column computed whole.
  constexpr Index packet = Eigen::internal::packet_traits<double>::size;
  // Rows per block: a multiple of 8, so that every column of the table starts aligned for any
  // packet, and fewer when there are many powers, so that the table stays near 1 MB.
  const Index block =
      std::clamp<Index>((Index{1} << 17) / std::max<Index>(n_powers, 1) / 8 * 8, 8, kFillBlock);
  const auto scalar_rows = [&](Index j) {  // [0, start) and [end, n) take the scalar path
    const auto address = reinterpret_cast<std::uintptr_t>(Phi.col(j).data());
    constexpr auto align = static_cast<std::uintptr_t>(packet * sizeof(double));
    Index start = n;
    if (packet == 1)
      start = 0;
    else if (address % sizeof(double) == 0)
      start = std::min(n, static_cast<Index>((align - address % align) % align / sizeof(double)));
    return std::make_pair(start, start + (n - start) / packet * packet);
  };
  const Index chunks = fill_chunks(n, M);
  for_each_chunk(chunks, [&](Index c) {
    Matrix table(block, std::max<Index>(n_powers, 1));
    Vector xb(block);
    const Index r1 = chunk_start(n, chunks, c + 1);
    for (Index i = chunk_start(n, chunks, c); i < r1; i += block) {
      const Index h = std::min(block, r1 - i);
      for (Index k = 0; k < n_powers; ++k) {
        const auto at = static_cast<std::size_t>(k);
        xb.head(h) = X_cols[variable[at]].segment(i, h);
        xb.tail(block - h).setOnes();
        table.col(k) = xb.array().pow(static_cast<double>(exponent[at]));
      }
      // Phi(i, j) = prod_d x_d^mi[d] with the factors applied in increasing d.
      for (Index j = 0; j < M; ++j) {
        auto col = Phi.col(j).segment(i, h);
        col.setOnes();
        const Index* f = factor.data() + static_cast<std::size_t>(j) * D;
        for (std::size_t d = 0; d < D; ++d)
          if (f[d] >= 0) col.array() *= table.col(f[d]).head(h).array();
        const MultiIndex& mi = multi_indices[static_cast<std::size_t>(j)];
        const auto by_scalar_pow = [&](Index from, Index to) {
          for (Index r = from; r < to; ++r) {
            double v = 1.0;
            for (std::size_t d = 0; d < D; ++d)
              if (f[d] >= 0) v *= std::pow(X_cols[d][r], static_cast<double>(mi[d]));
            Phi(r, j) = v;
          }
        };
        const auto [start, end] = scalar_rows(j);
        by_scalar_pow(i, std::min(i + h, start));
        by_scalar_pow(std::max(i, end), i + h);
      }
      stop_point(static_cast<double>(h) * (20.0 * static_cast<double>(n_powers) +
                                          static_cast<double>(M) * static_cast<double>(D)));
    }
  });
  return Phi;
}

void design_rows(const MultiIndexList& multi_indices, const MatrixView& T, Index r0, Index r1,
                 Matrix& out) {
  const Index h = r1 - r0, D = T.cols;
  const auto M = static_cast<Index>(multi_indices.size());
  // Powers 1 ... top[d] of variable d in columns first[d] ... first[d] + top[d] - 1.
  std::vector<Index> top(static_cast<std::size_t>(D), 0), first(static_cast<std::size_t>(D) + 1, 0);
  for (const MultiIndex& m : multi_indices)
    for (Index d = 0; d < D; ++d)
      top[static_cast<std::size_t>(d)] =
          std::max<Index>(top[static_cast<std::size_t>(d)], m[static_cast<std::size_t>(d)]);
  for (Index d = 0; d < D; ++d)
    first[static_cast<std::size_t>(d) + 1] =
        first[static_cast<std::size_t>(d)] + top[static_cast<std::size_t>(d)];
  Matrix powers(h, first.back());
  for (Index d = 0; d < D; ++d) {
    const Index at = first[static_cast<std::size_t>(d)];
    if (top[static_cast<std::size_t>(d)] == 0) continue;
    for (Index i = 0; i < h; ++i) powers(i, at) = T(r0 + i, d);
    for (Index e = 1; e < top[static_cast<std::size_t>(d)]; ++e)
      powers.col(at + e) = powers.col(at + e - 1).cwiseProduct(powers.col(at));
  }
  out.resize(h, M);
  for (Index j = 0; j < M; ++j) {
    auto col = out.col(j);
    col.setOnes();
    const MultiIndex& m = multi_indices[static_cast<std::size_t>(j)];
    for (Index d = 0; d < D; ++d) {
      const int e = m[static_cast<std::size_t>(d)];
      if (e > 0) col.array() *= powers.col(first[static_cast<std::size_t>(d)] + e - 1).array();
    }
  }
}

namespace {

// Gram sums over the grid of one variable, per derivative order:
// gram[o](p, q) = sum_k t_o(x_k, p) t_o(x_k, q) with t_o(x, p) = col_deriv_scalar(x, p, o).
std::array<Matrix, 3> axis_grams(int max_deg, double low, double high, int n_grid) {
  Vector axis(n_grid);
  fill_in_blocks(axis.data(), n_grid, 4.0, [&](Index i, Index len) {
    axis.segment(i, len) = Vector::LinSpaced(n_grid, low, high).segment(i, len);
  });
  const Index cols = Index{max_deg} + 1;
  std::array<Matrix, 3> gram;
  Matrix tab(n_grid, cols);
  for (int order = 0; order < 3; ++order) {
    for (Index k = 0; k < n_grid; ++k) {
      for (Index p = 0; p < cols; ++p)
        tab(k, p) = col_deriv_scalar(axis[k], static_cast<int>(p), order);
      stop_point(20.0 * static_cast<double>(cols));
    }
    gram[static_cast<std::size_t>(order)].noalias() = tab.transpose() * tab;
    stop_point(2.0 * static_cast<double>(n_grid) * static_cast<double>(cols * cols));
  }
  return gram;
}

}  // namespace

// The grid is a full tensor product and every basis function and derivative factorises over
// the variables, so a grid sum of a product of per-variable factors is the product over the
// variables of one-variable Gram sums. For one pair of basis functions (a, b), with s_o[d] the
// Gram entry of variable d at derivative order o, the variables are folded in one at a time:
//   e0 = prod_d s_0[d]                                   (no derivative)
//   e1 = sum_i s_1[i] prod_{d != i} s_0[d]               (gradient: R1)
//   e2 = sum_{i, j} prod_d s_{[d = i] + [d = j]}[d]      (Hessian, ordered pairs: R2)
// Adding variable d: e2 <- e2 s0 + 2 e1 s1 + e0 s2, e1 <- e1 s0 + e0 s1, e0 <- e0 s0, where the
// 2 counts the mixed pairs (i, d) and (d, i). Memory stays at the two M x M results plus the
// small tables; no grid-sized matrix is formed.
PenaltyMatricesND build_penalty_matrices_nd(const std::vector<int>& degrees, const Bounds& bounds,
                                            int n_grid_per_dim) {
  if (bounds.size() != degrees.size()) throw std::invalid_argument("Dimension mismatch.");
  for (std::size_t d = 0; d < degrees.size(); ++d)
    if (degrees[d] < 0)
      throw std::invalid_argument("deg < 0: degrees[" + std::to_string(d) +
                                  "] = " + std::to_string(degrees[d]));
  if (n_grid_per_dim < 2) throw std::invalid_argument("n_grid < 2");
  const std::size_t D = degrees.size();

  // Sizes as doubles, so that neither M nor any table size can overflow before the check.
  double basis_size = 1.0, gram_doubles = 0.0, tab_doubles = 0.0;
  for (const int deg : degrees) {
    basis_size *= deg + 1.0;
    gram_doubles += 3.0 * (deg + 1.0) * (deg + 1.0);
    tab_doubles = std::max(tab_doubles, static_cast<double>(n_grid_per_dim) * (deg + 2.0));
  }
  require_doubles(2.0 * basis_size * basis_size + basis_size * static_cast<double>(D) +
                  gram_doubles + tab_doubles);

  PenaltyMatricesND pm;
  std::vector<int> current(D, 0);
  pm.multi_indices.reserve(static_cast<std::size_t>(basis_size));
  generate_multi_indices(degrees, 0, current, pm.multi_indices);
  const auto M = static_cast<Index>(pm.multi_indices.size());

  double dV = 1.0;
  std::vector<std::array<Matrix, 3>> grams;
  grams.reserve(D);
  for (std::size_t d = 0; d < D; ++d) {
    const auto [low, high] = bounds[d];
    dV *= (high - low) / static_cast<double>(n_grid_per_dim - 1);
    grams.push_back(axis_grams(degrees[d], low, high, n_grid_per_dim));
  }

  pm.R1 = Matrix::Zero(M, M);
  pm.R2 = Matrix::Zero(M, M);
  for (Index b = 0; b < M; ++b) {
    const MultiIndex& mb = pm.multi_indices[static_cast<std::size_t>(b)];
    for (Index a = b; a < M; ++a) {
      const MultiIndex& ma = pm.multi_indices[static_cast<std::size_t>(a)];
      double e0 = 1.0, e1 = 0.0, e2 = 0.0;
      for (std::size_t d = 0; d < D; ++d) {
        const auto& g = grams[d];
        const double s0 = g[0](ma[d], mb[d]), s1 = g[1](ma[d], mb[d]), s2 = g[2](ma[d], mb[d]);
        e2 = e2 * s0 + 2.0 * e1 * s1 + e0 * s2;
        e1 = e1 * s0 + e0 * s1;
        e0 *= s0;
      }
      pm.R1(a, b) = dV * e1;
      pm.R2(a, b) = dV * e2;
    }
    stop_point(10.0 * static_cast<double>(M - b) * static_cast<double>(D));
  }
  // Mirror the lower triangles: the results are exactly symmetric.
  for (Index b = 0; b < M; ++b) {
    for (Index a = b + 1; a < M; ++a) {
      pm.R1(b, a) = pm.R1(a, b);
      pm.R2(b, a) = pm.R2(a, b);
    }
    stop_point(4.0 * static_cast<double>(M - b));
  }
  return pm;
}

}  // namespace dorv
