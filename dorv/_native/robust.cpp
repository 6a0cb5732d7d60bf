#include "robust.hpp"

#include "checks.hpp"
#include "kernels.hpp"
#include "rules.hpp"
#include "solvers.hpp"
#include "statistics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <Eigen/QR>

namespace dorv {

namespace {

using Engine = std::mt19937_64;

constexpr Index kSearchRows = 2000;          // rows of the start search for larger m
constexpr int kStartSteps = 2;               // concentration steps of every start
constexpr std::size_t kPolished = 5;         // starts iterated to convergence
constexpr int kPolishSteps = 10;             // bound on those iterations
constexpr int kRedraws = 10;                 // draws for a subset of full rank

// Working data in column-major storage of our own, so that no layout changes a bit.
struct Data {
  Matrix X;  // (m, p)
  Vector y;  // (m)
};

// The rows scaled by the square roots of their sample weights w (m).
void weigh_rows(Data& d, const Vector& w) {
  const Eigen::ArrayXd root = w.array().sqrt();
  for (Index j = 0; j < d.X.cols(); ++j) d.X.col(j).array() *= root;
  d.y.array() *= root;
}

Data copy_of(const MatrixView& Phi, const VectorView& y) {
  Data d{Matrix(Phi.rows, Phi.cols), Vector(y.size)};
  // By blocks of rows, so that a row-major block stays in cache while its columns are written.
  constexpr Index block = 64;
  for (Index i0 = 0; i0 < Phi.rows; i0 += block) {
    const Index i1 = std::min(Phi.rows, i0 + block);
    for (Index j = 0; j < Phi.cols; ++j)
      for (Index i = i0; i < i1; ++i) d.X(i, j) = Phi(i, j);
  }
  for (Index i = 0; i < y.size; ++i) d.y[i] = y(i);
  stop_point(static_cast<double>(d.X.size() + d.y.size()));
  return d;
}

// The rows `rows` of d, in that order.
Data rows_of(const Data& d, const std::vector<Index>& rows) {
  const auto n = static_cast<Index>(rows.size());
  Data s{Matrix(n, d.X.cols()), Vector(n)};
  for (Index j = 0; j < d.X.cols(); ++j)
    for (Index k = 0; k < n; ++k) s.X(k, j) = d.X(rows[static_cast<std::size_t>(k)], j);
  for (Index k = 0; k < n; ++k) s.y[k] = d.y[rows[static_cast<std::size_t>(k)]];
  return s;
}

// Uniform integer in [0, n), from the top 53 bits of one draw: the same on every platform.
Index draw_below(Engine& engine, Index n) {
  const double u = static_cast<double>(engine() >> 11) * 0x1p-53;
  return std::min(n - 1, static_cast<Index>(u * static_cast<double>(n)));
}

// `count` distinct rows of n in increasing order (Floyd's selection), count <= n.
std::vector<Index> sample_rows(Engine& engine, Index n, Index count) {
  std::vector<char> taken(static_cast<std::size_t>(n), 0);
  for (Index j = n - count; j < n; ++j) {
    const Index t = draw_below(engine, j + 1);
    taken[static_cast<std::size_t>(taken[static_cast<std::size_t>(t)] ? j : t)] = 1;
  }
  std::vector<Index> rows;
  rows.reserve(static_cast<std::size_t>(count));
  for (Index i = 0; i < n; ++i)
    if (taken[static_cast<std::size_t>(i)]) rows.push_back(i);
  return rows;
}

// Solution of (Z'Z + ridge I + n gamma1 R1 + n gamma2 R2) b = Z'z, formed and solved as
// fit_regularized_linear does. Z (k, p), z (k).
Vector fit_penalised(const MatrixView& Z, const VectorView& z, double n,
                       const PenaltySpec& pen, double ridge) {
  Matrix A;
  Vector b;
  gram_lower(Z, z, A, b);
  return solve_penalised(std::move(A), b, n, pen, ridge);
}

// Squares of residuals, with NaN and overflow as +infinity so that they order last.
void squares_of(const Vector& r, std::vector<double>& sq) {
  sq.resize(static_cast<std::size_t>(r.size()));
  for (Index i = 0; i < r.size(); ++i) {
    const double s = r[i] * r[i];
    sq[static_cast<std::size_t>(i)] = s <= std::numeric_limits<double>::max()
                                          ? s
                                          : std::numeric_limits<double>::infinity();
  }
}

// Least squares of a data set on the rows of smallest residuals, with reused storage.
class Concentration {
 public:
  Concentration(const Data& d, const PenaltySpec& pen, double ridge)
      : d_(d),
        pen_(pen),
        ridge_(ridge),
        h_((d.X.rows() + d.X.cols() + 1) / 2),
        Z_(h_, d.X.cols()),
        z_(h_) {}

  // Trimmed sum of squares of b: the sum of the h smallest squared residuals. Keeps the rows:
  // those below the cut in row order, then those at it in row order until there are h.
  double trimmed(const Vector& b) {
    r_.noalias() = d_.y - d_.X * b;
    squares_of(r_, sq_);
    work_ = sq_;
    const auto cut = work_.begin() + (h_ - 1);
    std::nth_element(work_.begin(), cut, work_.end());
    const double t = *cut;
    const Index m = r_.size();
    rows_.resize(static_cast<std::size_t>(m));
    // Which side of the cut a row lies on is unpredictable: counted without a branch.
    Index below = 0;
    for (Index i = 0; i < m; ++i) {
      rows_[static_cast<std::size_t>(below)] = i;
      below += sq_[static_cast<std::size_t>(i)] < t ? 1 : 0;
    }
    for (Index i = 0; i < m && below < h_; ++i)
      if (sq_[static_cast<std::size_t>(i)] == t) rows_[static_cast<std::size_t>(below++)] = i;
    rows_.resize(static_cast<std::size_t>(h_));
    double sum = 0.0;
    for (const Index i : rows_) sum += sq_[static_cast<std::size_t>(i)];
    stop_point(static_cast<double>(d_.X.size()) * 4.0);
    return sum;
  }

  // Sum of squared residuals of b over the rows of the last step: an upper bound of trimmed(b)
  // that needs no selection.
  double kept(const Vector& b) const { return (z_ - Z_ * b).squaredNorm(); }

  // One concentration step from the rows kept by trimmed().
  Vector step() {
    const Index p = d_.X.cols();
    for (Index j = 0; j < p; ++j)
      for (Index k = 0; k < h_; ++k) Z_(k, j) = d_.X(rows_[static_cast<std::size_t>(k)], j);
    for (Index k = 0; k < h_; ++k) z_[k] = d_.y[rows_[static_cast<std::size_t>(k)]];
    return fit_penalised(view(Z_), view(z_), static_cast<double>(h_), pen_, ridge_);
  }

 private:
  const Data& d_;
  const PenaltySpec& pen_;
  double ridge_;
  Index h_;
  Matrix Z_;
  Vector z_, r_;
  std::vector<double> sq_, work_;
  std::vector<Index> rows_;
};

// Fit through p random rows of d: exact, or penalised when penalties are active or no draw of
// kRedraws gives rows of full rank.
Vector elemental_fit(const Data& d, const PenaltySpec& pen, double ridge, Engine& engine,
                     Eigen::ColPivHouseholderQR<Matrix>& qr) {
  const Index m = d.X.rows(), p = d.X.cols();
  std::vector<Index> rows;
  Data s;
  for (int draw = 0; draw < kRedraws; ++draw) {
    rows.clear();
    while (static_cast<Index>(rows.size()) < p) {
      const Index i = draw_below(engine, m);
      if (std::find(rows.begin(), rows.end(), i) == rows.end()) rows.push_back(i);
    }
    s = rows_of(d, rows);
    qr.compute(s.X);
    if (qr.rank() == p) break;
  }
  if (qr.rank() == p && !pen.active()) return qr.solve(s.y);
  return fit_penalised(view(s.X), view(s.y), static_cast<double>(p), pen, ridge);
}

struct Candidate {
  Vector b;
  double objective;  // trimmed sum of squares
};

// NaN objectives rank last.
bool better(const Candidate& a, const Candidate& b) {
  if (std::isnan(a.objective)) return false;
  return std::isnan(b.objective) || a.objective < b.objective;
}

// Adds c to the ranked list of the best kPolished candidates, behind those that rank as well.
void keep_best(std::vector<Candidate>& best, Candidate c) {
  const auto at = std::upper_bound(best.begin(), best.end(), c, better);
  if (at - best.begin() >= static_cast<std::ptrdiff_t>(kPolished)) return;
  best.insert(at, std::move(c));
  if (best.size() > kPolished) best.pop_back();
}

// Start of least trimmed sum of squares on d: n_starts elemental fits and init, two
// concentration steps each and ranked by the sum over the rows of the last, the best kPolished
// iterated until the sum stops falling (ties ranked by the order of the starts).
Vector search_start(const Data& d, const PenaltySpec& pen, double ridge, const RobustOptions& opt,
                    Engine& engine) {
  Concentration conc(d, pen, ridge);
  Eigen::ColPivHouseholderQR<Matrix> qr(d.X.cols(), d.X.cols());
  std::vector<Candidate> best;  // ranked
  const auto improve = [&](Vector b) {
    double objective = conc.trimmed(b);
    for (int s = 1; s <= kStartSteps; ++s) {
      b = conc.step();
      objective = s < kStartSteps ? conc.trimmed(b) : conc.kept(b);
    }
    keep_best(best, {std::move(b), objective});
  };
  for (int s = 0; s < opt.n_starts; ++s) improve(elemental_fit(d, pen, ridge, engine, qr));
  if (opt.init != nullptr) improve(*opt.init);
  Candidate winner{best.front().b, std::numeric_limits<double>::quiet_NaN()};
  for (Candidate& cand : best) {
    cand.objective = conc.trimmed(cand.b);
    for (int s = 0; s < kPolishSteps; ++s) {
      Vector next = conc.step();
      const double objective = conc.trimmed(next);
      if (!(objective < cand.objective)) break;
      cand = {std::move(next), objective};
    }
    if (better(cand, winner)) winner = std::move(cand);
  }
  return winner.b;
}

// Tukey's biweight weight of u = r / (c s) squared (NaN as beyond c).
double biweight_weight(double u2) {
  const double v = 1.0 - std::min(1.0, u2);
  return v * v;
}

// M-scale of r: the s with mean rho(r_i / (1.547 s)) = 1/2, rho Tukey's biweight scaled to a
// maximum of 1 (rho(u) = 1 - (1 - min(u^2, 1))^3 at c = 1), by the fixed point
// s^2 <- s^2 mean(rho) / (1/2) from the normalised median of |r|. 0 when more than half the
// residuals are 0.
double m_scale(const Vector& r) {
  double s = kMadToSd * median_abs(r);
  if (!(s > 0.0) || !std::isfinite(s)) return s;
  const double n = static_cast<double>(r.size());
  const Eigen::ArrayXd r2 = r.array().square();
  for (int it = 0; it < kScaleSteps; ++it) {
    const double to_u2 = 1.0 / ((kBiweightScaleTuning * s) * (kBiweightScaleTuning * s));
    const double sum = (1.0 - (1.0 - (r2 * to_u2).min(1.0)).cube()).sum();
    stop_point(8.0 * n);
    const double next = s * std::sqrt(sum / (n * kBiweightScaleLevel));
    const bool done = std::abs(next - s) <= 1e-10 * s;
    s = next;
    if (done) break;
  }
  return s;
}

// Biweight weights at c = 4.685 and scale s. r (m) -> w (m).
Vector biweights(const Vector& r, double s) {
  const double to_u2 = 1.0 / ((kBiweightEfficiencyTuning * s) * (kBiweightEfficiencyTuning * s));
  Vector w(r.size());
  for (Index i = 0; i < r.size(); ++i) w[i] = biweight_weight(r[i] * r[i] * to_u2);
  return w;
}

struct MStep {
  Vector b;
  int n_iter = 0;
  bool converged = false;
};

// Iteratively reweighted penalised least squares with the biweight at scale s, from b. Rows of
// weight zero are left out of the weighted system.
MStep m_step(const Data& d, const Vector* sample_weight, const PenaltySpec& pen, double ridge,
             double s, Vector b, int max_iter) {
  const Index m = d.X.rows(), p = d.X.cols();
  MStep out{std::move(b)};
  Vector fitted = d.X * out.b;
  Matrix Z(m, p);
  Vector z(m), root(m);
  std::vector<Index> rows(static_cast<std::size_t>(m));
  for (int it = 1; it <= max_iter; ++it) {
    const Vector w = biweights(d.y - fitted, s);
    Index k = 0;
    double n_w = 0.0;
    for (Index i = 0; i < m; ++i) {  // without a branch: which rows are kept is unpredictable
      n_w += sample_weight != nullptr ? w[i] * (*sample_weight)[i] : w[i];
      rows[static_cast<std::size_t>(k)] = i;
      root[k] = std::sqrt(w[i]);
      k += w[i] != 0.0 ? 1 : 0;
    }
    for (Index l = 0; l < k; ++l) z[l] = root[l] * d.y[rows[static_cast<std::size_t>(l)]];
    for (Index j = 0; j < p; ++j)
      for (Index l = 0; l < k; ++l) Z(l, j) = root[l] * d.X(rows[static_cast<std::size_t>(l)], j);
    stop_point(4.0 * static_cast<double>(m) * static_cast<double>(p + 1));
    if (k == 0) break;
    const MatrixView Zk{Z.data(), k, p, 1, m};
    out.b = fit_penalised(Zk, VectorView{z.data(), k, 1}, n_w, pen, ridge);
    Vector next = d.X * out.b;
    const double change = (next - fitted).cwiseAbs().maxCoeff();
    fitted.swap(next);
    out.n_iter = it;
    if (change <= 1e-10 * (s + std::numeric_limits<double>::min())) {
      out.converged = true;
      break;
    }
  }
  return out;
}

// Too few rows to tell outliers: the penalised least-squares fit of every row, all weights 1
// and every row an inlier; the scale is the root mean square residual, floored.
RobustFit fit_every_row(const Data& d, double n, const PenaltySpec& pen, double ridge,
                        double floor) {
  const Index m = d.X.rows();
  Vector b = fit_penalised(view(d.X), view(d.y), n, pen, ridge);
  const Vector r = d.y - d.X * b;
  const double rms = m > 0 ? std::sqrt(r.squaredNorm() / static_cast<double>(m)) : 0.0;
  return {std::move(b), std::max(rms, floor), Vector::Ones(m),
          Eigen::Matrix<bool, Eigen::Dynamic, 1>::Constant(m, true), 0, true};
}

void check_arguments(const Data& d, const VectorView& y, const PenaltySpec& pen, double ridge,
                     const RobustOptions& opt) {
  const char* who = "fit_robust_linear";
  const Index p = d.X.cols();
  require_finite(d.X, who, "Phi");
  require_finite(y, who, "y");
  require_finite(ridge, who, "ridge");
  check_penalty_values(pen, who);
  if (opt.init != nullptr) {
    if (opt.init->size() != p)
      throw std::invalid_argument(std::string(who) + ": init has " +
                                  std::to_string(opt.init->size()) + " entries but Phi has " +
                                  std::to_string(p) + " columns");
    require_finite(*opt.init, who, "init");
  }
  require_finite(opt.scale, who, "scale");
  if (opt.scale < 0.0)
    throw std::invalid_argument(std::string(who) + ": scale must not be negative, got " +
                                std::to_string(opt.scale));
  if (opt.n_starts < 1)
    throw std::invalid_argument(std::string(who) + ": n_starts must be at least 1, got " +
                                std::to_string(opt.n_starts));
  if (opt.max_iter < 0)
    throw std::invalid_argument(std::string(who) + ": max_iter must not be negative, got " +
                                std::to_string(opt.max_iter));
  if (opt.sample_weight != nullptr)
    require_sample_weight(*opt.sample_weight, d.X.rows(), who, "Phi");
}

}  // namespace

RobustFit fit_robust_linear(const MatrixView& Phi, const VectorView& y, const Matrix* R1,
                            const Matrix* R2, double gamma1, double gamma2, double ridge,
                            const RobustOptions& opt) {
  const char* who = "fit_robust_linear";
  if (Phi.rows != y.size)
    throw std::invalid_argument(std::string(who) + ": Phi (" + std::to_string(Phi.rows) + ", " +
                                std::to_string(Phi.cols) + ") has " + std::to_string(Phi.rows) +
                                " rows but y has " + std::to_string(y.size) + " entries");
  const PenaltySpec pen{R1, R2, gamma1, gamma2};
  check_penalty_shapes(pen, Phi.cols, who);
  const double md = static_cast<double>(Phi.rows), pd = static_cast<double>(Phi.cols);
  require_doubles(2.0 * md * pd + 8.0 * md + 4.0 * pd * pd);
  Data d = copy_of(Phi, y);
  check_arguments(d, y, pen, ridge, opt);
  if (opt.sample_weight != nullptr) weigh_rows(d, *opt.sample_weight);
  const Index m = d.X.rows(), p = d.X.cols();

  const double floor = std::max(1e-12 * (m > 0 ? d.y.cwiseAbs().maxCoeff() : 0.0),
                                std::numeric_limits<double>::min());
  if (m <= p || p == 0) {
    const double n = opt.sample_weight != nullptr ? total_weight(*opt.sample_weight)
                                                  : static_cast<double>(m);
    return fit_every_row(d, n, pen, ridge, floor);
  }
  Vector start;
  if (opt.init != nullptr && opt.scale > 0.0) {
    start = *opt.init;
  } else {
    Engine engine(opt.seed);
    if (m > kSearchRows)
      start = search_start(rows_of(d, sample_rows(engine, m, kSearchRows)), pen, ridge, opt,
                           engine);
    else
      start = search_start(d, pen, ridge, opt, engine);
  }

  const double s0 =
      std::max(opt.scale > 0.0 ? opt.scale : m_scale(d.y - d.X * start), floor);
  MStep fit = m_step(d, opt.sample_weight, pen, ridge, s0, std::move(start), opt.max_iter);
  const Vector r = d.y - d.X * fit.b;
  const double scale = std::max(inlier_scale(r, s0), floor);
  return {std::move(fit.b),
          scale,
          biweights(r, s0),
          (r.array().abs() <= kInlierCut * scale).matrix(),
          fit.n_iter,
          fit.converged};
}

}  // namespace dorv
