#include "sampling.hpp"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <omp.h>
#include <random>
#include <stdexcept>
#include <string>

#include "kernels.hpp"
#include "scores.hpp"
#include "statistics.hpp"


namespace dorv {

GibbsResult gibbs_entropy(const Vector& energies, double T) {
  if (energies.size() == 0) throw std::invalid_argument("gibbs_entropy: energies is empty");
  const Index N = energies.size();
  const double emin = energies.minCoeff<Eigen::PropagateNaN>();
  Vector w(N);
  double wsum = 0.0;
  for (Index i = 0; i < N; ++i) {
    stop_point_at(i, 20.0);
    w[i] = std::exp(-(energies[i] - emin) / (T + 1e-300));
    wsum += w[i];
  }
  double H = 0.0;
  for (Index i = 0; i < N; ++i) {
    stop_point_at(i, 20.0);
    const double p = w[i] / wsum;
    H -= p * std::log(p + 1e-300);
  }
  const double Hmax = std::log(static_cast<double>(std::max<Index>(N, 2)));
  const double He = H / (Hmax + 1e-300);
  double sumE = 0.0;
  for (Index i = 0; i < N; ++i) sumE += energies[i];
  const double meanE = sumE / static_cast<double>(N);
  double ss = 0.0;
  for (Index i = 0; i < N; ++i) ss += (energies[i] - meanE) * (energies[i] - meanE);
  const double var_E = ss / static_cast<double>(N);
  const double r_heat = std::fma(0.99, He, 0.01);
  return {H, Hmax, He, r_heat, var_E, T};
}

std::vector<Chain> select_elite(const std::vector<Chain>& ranked, int n_elite) {
  if (ranked.empty()) throw std::invalid_argument("select_elite: ranked is empty");
  for (const Chain& chain : ranked)
    if (chain.beta.size() != ranked.front().beta.size())
      throw std::invalid_argument("select_elite: chain vectors of lengths " +
                                  std::to_string(ranked.front().beta.size()) + " and " +
                                  std::to_string(chain.beta.size()));
  std::vector<Chain> elite{ranked.front()};
  const auto room = [&] { return static_cast<long long>(elite.size()) < n_elite; };
  for (std::size_t i = 1; i < ranked.size() && room(); ++i) {
    const bool close = std::any_of(elite.begin(), elite.end(), [&](const Chain& e) {
      return (ranked[i].beta - e.beta).norm() <= 0.1;
    });
    if (!close) elite.push_back(ranked[i]);
  }
  for (std::size_t i = elite.size(); i < ranked.size() && room(); ++i) elite.push_back(ranked[i]);
  return elite;
}

namespace {

using Engine = std::mt19937_64;
using Normal = std::normal_distribution<double>;
using Uniform = std::uniform_real_distribution<double>;

// Whether the kernels' hits_of_product reproduces the matrix library's product X b exactly:
// its column-major product sums each row from 0 over j in increasing order for fewer than 128
// columns, and without fused multiply-adds (which the library, and the compiler, use when the
// target has them) the kernel does the same operations.
bool fused_hits_apply(const Matrix& X) {
#if defined(__SSE2__) && !defined(__FMA__)
  return X.rows() >= 2 && X.cols() < 128;
#else
  (void)X;
  return false;
#endif
}

// Per-chain buffers for X b (n) and R b (k), reused by every evaluation.
struct Buffers {
  Vector Xb, Rb;
};

// Energy of coefficient vectors: the cached MDL score of X b against y with the penalties of
// pen. The score's penalty terms are added here, in its order and each as b'(R b) with R b
// formed first, so the value is bit for bit the score's while the products go into the
// caller's buffers and an evaluation allocates nothing.
struct Energy {
  const Matrix& X;
  const Vector& y;
  int k;
  int H;
  double eps;
  const PenaltySpec& pen;

  // The score without penalties by number of hits, 0 ... n, when n is small enough for the
  // table to cost less than the evaluations; empty otherwise.
  std::vector<double> score_of_hits;

  Buffers buffers() const { return {Vector(X.rows()), Vector(X.cols())}; }

  // Arithmetic of one evaluation, in stop_point's units.
  double work() const {
    const auto n = static_cast<double>(X.rows()), kd = static_cast<double>(k);
    return 2.0 * n * kd + 3.0 * n + 4.0 * kd * kd + kd;
  }

  double operator()(const Vector& b, Buffers& buf) const {
    double L;
    if (fused_hits_apply(X)) {
      const Index hits = hits_of_product(X, b, y, eps);
      L = score_of_hits.empty() ? mdl_score_of_hits(hits, y.size(), k, H)
                                : score_of_hits[static_cast<std::size_t>(hits)];
    } else {
      buf.Xb.noalias() = X * b;
      L = mdl_score_cached(view(buf.Xb), view(y), k, H, eps, nullptr, nullptr);
    }
    if (pen.R1 != nullptr && pen.gamma1 != 0.0) L += pen.gamma1 * quad_form(b, *pen.R1, buf.Rb);
    if (pen.R2 != nullptr && pen.gamma2 != 0.0) L += pen.gamma2 * quad_form(b, *pen.R2, buf.Rb);
    return L;
  }
};

// Metropolis rule: a strictly lower energy is accepted without a draw; otherwise accept with
// probability exp(min((e - ec) / T, 0)), so equal energies and NaN quotients always accept.
bool accept(double e, double ec, double T, Uniform& unif, Engine& engine) {
  if (ec < e) return true;
  const double q = (e - ec) / T;
  return unif(engine) < std::exp(q < 0.0 ? q : 0.0);
}

// Working state of one chain run: the current state, and reused buffers for the candidate and
// the products of an evaluation.
struct Walker {
  Vector b, bc;
  Buffers buf;
  double e;

  Walker(Vector start, double energy_of_start, const Energy& energy)
      : b(std::move(start)), bc(b.size()), buf(energy.buffers()), e(energy_of_start) {}

  // One Metropolis step at temperature T with proposal noise from prop.
  void step(const Energy& energy, double T, Normal& prop, Uniform& unif, Engine& engine) {
    bc = b;
    for (Index i = 0; i < bc.size(); ++i) bc[i] += prop(engine);
    const double ec = energy(bc, buf);
    if (!accept(e, ec, T, unif, engine)) return;
    b.swap(bc);
    e = ec;
  }
};

// Stop points of a run of steps of `work` units each: one every so many steps, enough to make
// StopSource::kWorkPerLook units, so that cheap steps do not each read the thread's stop state.
class StepPoints {
 public:
  explicit StepPoints(double work)
      : every_(static_cast<int>(std::clamp(StopSource::kWorkPerLook / work, 1.0, 256.0))),
        work_(every_ * work) {}

  void operator()() {
    if (++count_ < every_) return;
    count_ = 0;
    stop_point(work_);
  }

 private:
  int every_;
  double work_;
  int count_ = 0;
};

// An annealed chain from a random start: normal(0, 0.5) draws without a start of the caller's;
// with one, the start itself (chain 0) or the start plus normal(0, step_size) draws.
Chain warm_up(const Energy& energy, std::uint64_t seed, int n_steps, double step_size,
              const Vector* init, bool perturb) {
  Engine engine(seed);
  Normal prop(0.0, step_size);
  Uniform unif(0.0, 1.0);
  Vector start;
  if (init == nullptr) {
    Normal spread(0.0, 0.5);
    start.resize(energy.k);
    for (Index i = 0; i < start.size(); ++i) start[i] = spread(engine);
  } else {
    start = *init;
    for (Index i = 0; perturb && i < start.size(); ++i) start[i] += prop(engine);
  }
  Walker w(std::move(start), 0.0, energy);
  w.e = energy(w.b, w.buf);
  double T = 2.0;
  StepPoints point(energy.work());
  for (int s = 0; s < n_steps; ++s) {
    w.step(energy, T, prop, unif, engine);
    T *= 0.995;
    point();
  }
  return {std::move(w.b), w.e};
}

// Count of the chains done in the warm-up. The calling thread is the only one that can answer a
// stop check (StopSource::look); once it has no chain left it keeps asking, between the other
// threads' chains, until all are done or a stop ends them.
class ChainsDone {
 public:
  void add_one() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      ++done_;
    }
    changed_.notify_all();
  }

  // Waits for `total` chains, asking `source` for a stop every StopSource::kStopInterval.
  void wait_for(int total, StopSource& source) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (done_ < total) {
      changed_.wait_for(lock, StopSource::kStopInterval);
      lock.unlock();
      source.look();
      lock.lock();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int done_ = 0;
};

// NaN energies rank last, so the comparison stays a strict weak order.
bool lower_energy(const Chain& a, const Chain& b) {
  if (std::isnan(a.energy)) return false;
  return std::isnan(b.energy) || a.energy < b.energy;
}

}  // namespace

TournamentMCMC::TournamentMCMC(int n_chains, int n_warmup, int n_deep, int n_elite,
                               double step_size, int H_piH, std::uint64_t seed)
    : n_chains_(n_chains),
      n_warmup_(n_warmup),
      n_deep_(n_deep),
      n_elite_(n_elite),
      step_size_(step_size),
      H_piH_(H_piH),
      seed_(seed) {}

MCMCResult TournamentMCMC::fit(const Matrix& X, const Vector& y, const Matrix* R1,
                               const Matrix* R2, double gamma1, double gamma2,
                               const Vector* init) const {
  const char* who = "TournamentMCMC.fit";
  if (n_chains_ == 0)
    throw std::invalid_argument("TournamentMCMC.fit: n_chains must be at least 1, got 0");
  if (X.rows() != y.size())
    throw std::invalid_argument("TournamentMCMC.fit: X has " + std::to_string(X.rows()) +
                                " rows but y has " + std::to_string(y.size()) + " entries");
  if (X.cols() > std::numeric_limits<int>::max())
    throw std::invalid_argument("TournamentMCMC.fit: X has " + std::to_string(X.cols()) +
                                " columns, more than an int can count");
  const PenaltySpec pen{R1, R2, gamma1, gamma2};
  check_penalty_shapes(pen, X.cols(), who);
  // NaN or infinite data would give every chain a NaN or infinite energy, and a confident
  // answer: refused, as by the solvers, with the terms of the score that are read.
  require_finite(X, who, "X");
  require_finite(y, who, "y");
  check_penalty_values(pen, who);
  if (init != nullptr) {
    if (init->size() != X.cols())
      throw std::invalid_argument("TournamentMCMC.fit: init has " + std::to_string(init->size()) +
                                  " entries but X has " + std::to_string(X.cols()) + " columns");
    require_finite(*init, who, "init");
  }
  if (X.cols() > 0 && H_piH_ <= 0)
    throw std::invalid_argument("TournamentMCMC.fit: H_piH must be positive, got " +
                                std::to_string(H_piH_));
  // A proposal's spread must be a positive number; a negative number of steps has no meaning.
  require_positive(step_size_, who, "step_size");
  require_at_least(n_warmup_, 0, who, "n_warmup");
  require_at_least(n_deep_, 0, who, "n_deep");

  const int k = static_cast<int>(X.cols());
  Energy energy{X, y, k, H_piH_, hit_tolerance(view(y)), pen, {}};
  // Tabulating the score by hit count saves two logarithms per evaluation; worth it when there
  // are more evaluations than entries.
  const double evaluations =
      std::max(n_chains_, 0) * (1.0 + std::max(n_warmup_, 0)) +
      std::max(1, std::min(n_elite_, n_chains_)) * static_cast<double>(std::max(n_deep_, 0));
  if (fused_hits_apply(X) && X.rows() <= (Index{1} << 16) &&
      static_cast<double>(X.rows()) < evaluations) {
    energy.score_of_hits.resize(static_cast<std::size_t>(X.rows()) + 1);
    for (Index h = 0; h <= X.rows(); ++h)
      energy.score_of_hits[static_cast<std::size_t>(h)] =
          mdl_score_of_hits(h, X.rows(), k, H_piH_);
  }

  // Refuse a working set that cannot fit in memory before any work: every chain ends up holding
  // k doubles, each running walker (one per thread, and the deep phase's) holds three vectors of
  // k and one of n, and the elite copies and best_b k each. A negative count passes this and
  // fails below with the standard length error.
  const double n_chains = std::max(n_chains_, 0), kd = static_cast<double>(k);
  const double walkers = std::min<double>(omp_get_max_threads(), n_chains) + 1.0;
  const double copies = std::min<double>(std::max(n_elite_, 1), n_chains) + 1.0;
  require_doubles(n_chains * (kd + 4.0) + walkers * (3.0 * kd + static_cast<double>(X.rows())) +
                  copies * kd);
  std::vector<Chain> chains(static_cast<std::size_t>(n_chains_));
  std::vector<std::exception_ptr> errors(chains.size());
  StopSource* const stop = current_stop_source();
  std::exception_ptr stopped;
  ChainsDone done;
#pragma omp parallel if (threads_usable())
  {
    const StopScope follow(stop);
#pragma omp for schedule(dynamic, 1) nowait
    for (int c = 0; c < n_chains_; ++c) {
      const auto slot = static_cast<std::size_t>(c);
      try {
        chains[slot] = warm_up(energy, seed_ + 1000u * static_cast<std::uint64_t>(c),
                               n_warmup_, step_size_, init, c > 0);
      } catch (...) {
        errors[slot] = std::current_exception();
      }
      done.add_one();
    }
    if (stop != nullptr && omp_get_thread_num() == 0) {
      try {
        done.wait_for(n_chains_, *stop);
      } catch (...) {
        stopped = std::current_exception();
      }
    }
  }
  if (stopped) std::rethrow_exception(stopped);
  for (const auto& error : errors)
    if (error) std::rethrow_exception(error);

  Vector energies(n_chains_);
  for (int c = 0; c < n_chains_; ++c) energies[c] = chains[static_cast<std::size_t>(c)].energy;
  const GibbsResult gb = gibbs_entropy(energies, 1.0);

  std::sort(chains.begin(), chains.end(), lower_energy);
  const std::vector<Chain> elite = select_elite(chains, n_elite_);

  Vector best_b = elite.front().beta;
  double best_e = elite.front().energy;
  double T = 0.5 * gb.r_heat;
  StepPoints point(energy.work());
  for (std::size_t ei = 0; ei < elite.size(); ++ei) {
    Engine engine(seed_ + 7777u + 13u * static_cast<std::uint64_t>(ei));
    Normal prop(0.0, 0.3 * step_size_);
    Uniform unif(0.0, 1.0);
    Walker w(elite[ei].beta, elite[ei].energy, energy);
    for (int s = 0; s < n_deep_; ++s) {
      w.step(energy, T, prop, unif, engine);
      if (w.e < best_e) {
        best_b = w.b;
        best_e = w.e;
      }
      T *= 0.9997;
      point();
    }
  }
  // Never worse than the caller's start.
  if (init != nullptr) {
    Buffers buf = energy.buffers();
    const double e = energy(*init, buf);
    if (e < best_e) {
      best_b = *init;
      best_e = e;
    }
  }
  return {std::move(best_b), best_e, gb, n_chains_, n_elite_};
}

}  // namespace dorv
