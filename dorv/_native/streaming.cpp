#include "streaming.hpp"

#include "kernels.hpp"
#include "rules.hpp"
#include "solvers.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace dorv {

namespace {

constexpr Index kMaxGroups = 64;  // groups of blocks shared out among the threads

std::string shape(Index rows, Index cols) {
  return "(" + std::to_string(rows) + ", " + std::to_string(cols) + ")";
}

std::string number(double v) {
  std::ostringstream out;
  out << v;
  return out.str();
}

void fail(const char* who, const std::string& what) {
  throw std::invalid_argument(std::string(who) + ": " + what);
}

// Throws unless T has a column, multi_indices has entries of one exponent >= 0 per column of
// T, and T is finite.
void check_model(const char* who, const MatrixView& T, const MultiIndexList& multi_indices) {
  if (T.cols < 1) fail(who, "T must have at least one column, got " + shape(T.rows, T.cols));
  if (multi_indices.empty()) fail(who, "multi_indices must not be empty");
  for (std::size_t j = 0; j < multi_indices.size(); ++j) {
    const MultiIndex& m = multi_indices[j];
    if (static_cast<Index>(m.size()) != T.cols)
      fail(who, "multi_indices[" + std::to_string(j) + "] has " + std::to_string(m.size()) +
                    " exponents but T " + shape(T.rows, T.cols) + " has " +
                    std::to_string(T.cols) + " columns");
    for (const int e : m)
      if (e < 0)
        fail(who, "multi_indices[" + std::to_string(j) + "] has a negative exponent, got " +
                      std::to_string(e));
  }
  require_finite(T, who, "T");
}

void check_entries(const char* who, const char* name, Index size, Index expected,
                   const char* of) {
  if (size != expected)
    fail(who, std::string(name) + " has " + std::to_string(size) + " entries but " + of +
                  " has " + std::to_string(expected));
}

void check_weight(const char* who, const VectorView& w, Index n) {
  check_entries(who, "sample_weight", w.size, n, "T's row count");
  for (Index i = 0; i < w.size; ++i)
    if (!(w(i) >= 0.0) || !std::isfinite(w(i)))
      fail(who, "sample_weight must be finite and non-negative, got " + number(w(i)) +
                    " at row " + std::to_string(i));
}

Index block_count(Index n) { return (n + kStreamRows - 1) / kStreamRows; }

// body(group, r0, r1, scratch) for every block of rows [r0, r1), the blocks of a group in row
// order with one Scratch of the group's, the groups (a number fixed by n) shared out among the
// threads.
template <class Scratch, class Body>
void for_each_block(Index n, const Body& body) {
  const Index blocks = block_count(n);
  const Index groups = std::min(blocks, kMaxGroups);
  for_each_chunk(groups, [&](Index g) {
    Scratch scratch;
    for (Index b = chunk_start(blocks, groups, g); b < chunk_start(blocks, groups, g + 1); ++b)
      body(g, b * kStreamRows, std::min(n, (b + 1) * kStreamRows), scratch);
  });
}

// The storage of a block's work, reused from block to block.
struct Scratch {
  Matrix Phi, X, G;
  Vector w, y, fitted, rhs;
  std::vector<Index> kept;
};

void report(double work) { stop_point(work); }

// The lower triangle of a group's Gram matrix and its right-hand side.
struct Partial {
  Matrix gram;
  Vector rhs;
  double total = 0.0;
};

std::vector<Partial> partials(Index groups, Index M) {
  require_doubles(static_cast<double>(groups) * static_cast<double>(M) * (static_cast<double>(M) + 1.0));
  return std::vector<Partial>(static_cast<std::size_t>(groups),
                              Partial{Matrix::Zero(M, M), Vector::Zero(M), 0.0});
}

// The groups' sums added in group order; the gram's lower triangle mirrored.
StreamedSums combined(const std::vector<Partial>& parts, Index M) {
  StreamedSums out{Matrix::Zero(M, M), Vector::Zero(M), 0.0};
  for (const Partial& p : parts) {
    out.gram.triangularView<Eigen::Lower>() += p.gram;
    out.rhs += p.rhs;
    out.total += p.total;
  }
  out.gram.triangularView<Eigen::StrictlyUpper>() = out.gram.transpose();
  return out;
}

}  // namespace

StreamedSums streamed_sums(const MatrixView& T, const VectorView& z,
                           const MultiIndexList& multi_indices, const Vector* beta, double scale,
                           const VectorView* sample_weight) {
  const char* who = "streamed_sums";
  check_model(who, T, multi_indices);
  const Index n = T.rows, M = static_cast<Index>(multi_indices.size());
  check_entries(who, "z", z.size, n, "T's row count");
  require_finite(z, who, "z");
  if (beta != nullptr) {
    check_entries(who, "beta", beta->size(), M, "multi_indices");
    require_finite(*beta, who, "beta");
  }
  if (!(scale >= 0.0) || !std::isfinite(scale))
    fail(who, "scale must be finite and non-negative, got " + number(scale));
  if (sample_weight != nullptr) check_weight(who, *sample_weight, n);

  const bool robust = beta != nullptr && scale > 0.0;
  const double to_u2 = robust ? 1.0 / ((kBiweightEfficiencyTuning * scale) *
                                       (kBiweightEfficiencyTuning * scale))
                              : 0.0;
  const KernelForm& form = kernel_form();
  std::vector<Partial> parts = partials(std::min(block_count(n), kMaxGroups), M);
  for_each_block<Scratch>(n, [&](Index g, Index r0, Index r1, Scratch& s) {
    const Index h = r1 - r0;
    const Eigen::Map<const Eigen::VectorXd, 0, Eigen::InnerStride<>> zb(
        z.data + r0 * z.step, h, Eigen::InnerStride<>(z.step));
    design_rows(multi_indices, T, r0, r1, s.Phi);
    if (sample_weight != nullptr)
      s.w = Eigen::Map<const Eigen::VectorXd, 0, Eigen::InnerStride<>>(
          sample_weight->data + r0 * sample_weight->step, h,
          Eigen::InnerStride<>(sample_weight->step));
    else
      s.w.setOnes(h);
    if (robust) {
      s.fitted.noalias() = s.Phi * *beta;
      s.fitted = zb - s.fitted;  // the residuals
      // Tukey's biweight weight (1 - min(1, (r / (c s))^2))^2, as the robust fit's M-step
      // forms it
      s.w.array() *= (1.0 - (s.fitted.array().square() * to_u2).min(1.0)).square();
    }
    Partial& part = parts[static_cast<std::size_t>(g)];
    part.total += s.w.sum();
    stop_point(static_cast<double>(h) * static_cast<double>(3 * M + 8));
    if (!(s.w.maxCoeff() > 0.0)) return;
    // Every row scaled by the root of its weight: a row of weight 0 adds exact zeros.
    s.w = s.w.cwiseSqrt();
    s.X = s.Phi.array().colwise() * s.w.array();
    s.y = s.w.cwiseProduct(zb);
    s.G.resize(M, M);
    s.rhs.resize(M);
    form.gram_rows(view(s.X), view(s.y), 0, h, s.G.data(), s.rhs.data(), report);
    part.gram.triangularView<Eigen::Lower>() += s.G;
    part.rhs += s.rhs;
  });
  return combined(parts, M);
}

Vector streamed_predict(const MatrixView& T, const MultiIndexList& multi_indices,
                        const Vector& beta) {
  const char* who = "streamed_predict";
  check_model(who, T, multi_indices);
  const auto M = static_cast<Index>(multi_indices.size());
  check_entries(who, "beta", beta.size(), M, "multi_indices");
  require_finite(beta, who, "beta");
  require_doubles(static_cast<double>(T.rows));
  Vector out(T.rows);
  for_each_block<Scratch>(T.rows, [&](Index, Index r0, Index r1, Scratch& s) {
    design_rows(multi_indices, T, r0, r1, s.Phi);
    out.segment(r0, r1 - r0).noalias() = s.Phi * beta;
    stop_point(static_cast<double>(r1 - r0) * static_cast<double>(3 * M));
  });
  return out;
}

Matrix streamed_gram(const MatrixView& T, const MultiIndexList& multi_indices,
                     const VectorView& weight) {
  const char* who = "streamed_gram";
  check_model(who, T, multi_indices);
  const Index n = T.rows, M = static_cast<Index>(multi_indices.size());
  check_entries(who, "weight", weight.size, n, "T's row count");
  require_finite(weight, who, "weight");
  std::vector<Partial> parts = partials(std::min(block_count(n), kMaxGroups), M);
  for_each_block<Scratch>(n, [&](Index g, Index r0, Index r1, Scratch& s) {
    design_rows(multi_indices, T, r0, r1, s.Phi);
    const Eigen::Map<const Eigen::VectorXd, 0, Eigen::InnerStride<>> w(
        weight.data + r0 * weight.step, r1 - r0, Eigen::InnerStride<>(weight.step));
    s.X = s.Phi.array().colwise() * w.array();
    s.G.noalias() = s.Phi.transpose() * s.X;
    Partial& part = parts[static_cast<std::size_t>(g)];
    part.gram.triangularView<Eigen::Lower>() += s.G;
    stop_point(static_cast<double>(r1 - r0) * static_cast<double>(M) * static_cast<double>(M + 3));
  });
  return combined(parts, M).gram;
}

Vector streamed_quadratic(const MatrixView& T, const MultiIndexList& multi_indices,
                          const Matrix& A) {
  const char* who = "streamed_quadratic";
  check_model(who, T, multi_indices);
  const auto M = static_cast<Index>(multi_indices.size());
  if (A.rows() != M || A.cols() != M)
    fail(who, "A must be " + shape(M, M) + " for the " + std::to_string(M) +
                  " monomials, got " + shape(A.rows(), A.cols()));
  require_finite(A, who, "A");
  require_doubles(static_cast<double>(T.rows));
  Vector out(T.rows);
  for_each_block<Scratch>(T.rows, [&](Index, Index r0, Index r1, Scratch& s) {
    design_rows(multi_indices, T, r0, r1, s.Phi);
    s.X.noalias() = s.Phi * A;
    out.segment(r0, r1 - r0) = s.X.cwiseProduct(s.Phi).rowwise().sum();
    stop_point(static_cast<double>(r1 - r0) * static_cast<double>(M) * static_cast<double>(M + 3));
  });
  return out;
}

Vector solve_sums(const Matrix& gram, const Vector& rhs, double total, const Matrix* R1,
                  const Matrix* R2, double gamma1, double gamma2, double ridge) {
  const char* who = "solve_sums";
  const Index M = rhs.size();
  if (gram.rows() != M || gram.cols() != M)
    fail(who, "gram must be " + shape(M, M) + " for rhs of " + std::to_string(M) +
                  " entries, got " + shape(gram.rows(), gram.cols()));
  require_finite(gram, who, "gram");
  require_finite(rhs, who, "rhs");
  require_finite(total, who, "total_weight");
  require_finite(ridge, who, "ridge");
  const PenaltySpec pen{R1, R2, gamma1, gamma2};
  check_penalty_shapes(pen, M, who);
  check_penalty_values(pen, who);
  return solve_penalised(gram, rhs, total, pen, ridge);
}

}  // namespace dorv
