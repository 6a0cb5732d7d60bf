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

namespace {

constexpr double kWarmupTemperature = 2.0;    // warm-up chains start at this temperature ...
constexpr double kWarmupCooling = 0.995;      // ... times this after each step
constexpr double kRandomStartSpread = 0.5;    // sd of each coordinate of a random start
constexpr double kSummaryTemperature = 1.0;   // of the Gibbs summary of the warm-up energies
constexpr double kEliteDistance = 0.1;        // elites preferably lie farther apart than this
constexpr double kDeepStartShare = 0.5;       // the deep phase starts at this share of r_heat ...
constexpr double kDeepCooling = 0.9997;       // ... times this after each step
constexpr double kDeepStepShare = 0.3;        // its proposals' spread, as a share of step_size
constexpr std::uint64_t kChainSeedStride = 1000;  // warm-up chain c draws from seed + c stride
constexpr std::uint64_t kDeepSeedOffset = 7777;   // elite e from seed + offset + e stride
constexpr std::uint64_t kEliteSeedStride = 13;
constexpr Index kMaxTabulatedRows = Index{1} << 16;  // the score is tabulated up to so many rows

}  // namespace

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
      return (ranked[i].beta - e.beta).norm() <= kEliteDistance;
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

// An annealed chain of n_steps from kWarmupTemperature: it starts at normal(0,
// kRandomStartSpread) draws without a start of the caller's; with one, at the start itself
// (chain 0) or the start plus normal(0, step_size) draws.
Chain warm_up(const Energy& energy, std::uint64_t seed, int n_steps, double step_size,
              const Vector* init, bool perturb) {
  Engine engine(seed);
  Normal prop(0.0, step_size);
  Uniform unif(0.0, 1.0);
  Vector start;
  if (init == nullptr) {
    Normal spread(0.0, kRandomStartSpread);
    start.resize(energy.k);
    for (Index i = 0; i < start.size(); ++i) start[i] = spread(engine);
  } else {
    start = *init;
    for (Index i = 0; perturb && i < start.size(); ++i) start[i] += prop(engine);
  }
  Walker w(std::move(start), 0.0, energy);
  w.e = energy(w.b, w.buf);
  double T = kWarmupTemperature;
  StepPoints point(energy.work());
  for (int s = 0; s < n_steps; ++s) {
    w.step(energy, T, prop, unif, engine);
    T *= kWarmupCooling;
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

namespace {

// The checks of fit, before any work.
void check_fit_arguments(const TournamentMCMC& s, const Matrix& X, const Vector& y,
                         const PenaltySpec& pen, const Vector* init) {
  const char* who = "TournamentMCMC.fit";
  require_at_least(s.n_chains(), 1, who, "n_chains");
  if (X.rows() != y.size())
    throw std::invalid_argument("TournamentMCMC.fit: X has " + std::to_string(X.rows()) +
                                " rows but y has " + std::to_string(y.size()) + " entries");
  if (X.cols() > std::numeric_limits<int>::max())
    throw std::invalid_argument("TournamentMCMC.fit: X has " + std::to_string(X.cols()) +
                                " columns, more than an int can count");
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
  if (X.cols() > 0 && s.H_piH() <= 0)
    throw std::invalid_argument("TournamentMCMC.fit: H_piH must be positive, got " +
                                std::to_string(s.H_piH()));
  // A proposal's spread must be a positive number; a negative number of steps has no meaning.
  require_positive(s.step_size(), who, "step_size");
  require_at_least(s.n_warmup(), 0, who, "n_warmup");
  require_at_least(s.n_deep(), 0, who, "n_deep");
}

// Number of elites the deep phase refines: n_elite, at least one and at most every chain.
int elites_refined(const TournamentMCMC& s) {
  return std::max(1, std::min(s.n_elite(), s.n_chains()));
}

// Refuses a working set that cannot fit in memory: every chain ends up holding k doubles, each
// running walker (one per thread, and the deep phase's) holds three vectors of k and one of n,
// and the elite copies and the best vector k each.
void require_working_set(const TournamentMCMC& s, Index n, Index k) {
  const double chains = s.n_chains(), kd = static_cast<double>(k);
  const double walkers = std::min<double>(omp_get_max_threads(), chains) + 1.0;
  const double copies = elites_refined(s) + 1.0;
  require_doubles(chains * (kd + 4.0) + walkers * (3.0 * kd + static_cast<double>(n)) +
                  copies * kd);
}

// The score without penalties by number of hits, 0 ... n, where the fused hit count applies and
// the table costs less than the evaluations it saves two logarithms each; empty otherwise.
std::vector<double> score_table(const TournamentMCMC& s, const Matrix& X) {
  const double evaluations =
      s.n_chains() * (1.0 + s.n_warmup()) + elites_refined(s) * static_cast<double>(s.n_deep());
  const Index n = X.rows();
  if (!fused_hits_apply(X) || n > kMaxTabulatedRows || !(static_cast<double>(n) < evaluations))
    return {};
  const int k = static_cast<int>(X.cols());
  std::vector<double> table(static_cast<std::size_t>(n) + 1);
  for (Index h = 0; h <= n; ++h)
    table[static_cast<std::size_t>(h)] = mdl_score_of_hits(h, n, k, s.H_piH());
  return table;
}

// The annealed warm-up of every chain, in parallel; chain c draws from seed + c kChainSeedStride.
// The calling thread also answers the stop checks until every chain is done. Rethrows a stop,
// then the error of the first chain that failed.
std::vector<Chain> warm_up_chains(const Energy& energy, const TournamentMCMC& s,
                                  const Vector* init) {
  const int n_chains = s.n_chains();
  std::vector<Chain> chains(static_cast<std::size_t>(n_chains));
  std::vector<std::exception_ptr> errors(chains.size());
  StopSource* const stop = current_stop_source();
  std::exception_ptr stopped;
  ChainsDone done;
#pragma omp parallel if (threads_usable())
  {
    const StopScope follow(stop);
#pragma omp for schedule(dynamic, 1) nowait
    for (int c = 0; c < n_chains; ++c) {
      const auto slot = static_cast<std::size_t>(c);
      const std::uint64_t seed = s.seed() + kChainSeedStride * static_cast<std::uint64_t>(c);
      try {
        chains[slot] = warm_up(energy, seed, s.n_warmup(), s.step_size(), init, c > 0);
      } catch (...) {
        errors[slot] = std::current_exception();
      }
      done.add_one();
    }
    if (stop != nullptr && omp_get_thread_num() == 0) {
      try {
        done.wait_for(n_chains, *stop);
      } catch (...) {
        stopped = std::current_exception();
      }
    }
  }
  if (stopped) std::rethrow_exception(stopped);
  for (const auto& error : errors)
    if (error) std::rethrow_exception(error);
  return chains;
}

// Gibbs summary of the chains' energies at kSummaryTemperature.
GibbsResult summary_of(const std::vector<Chain>& chains) {
  Vector energies(static_cast<Index>(chains.size()));
  for (std::size_t c = 0; c < chains.size(); ++c)
    energies[static_cast<Index>(c)] = chains[c].energy;
  return gibbs_entropy(energies, kSummaryTemperature);
}

// The deep phase: each elite in turn refined for n_deep steps of kDeepStepShare step_size, elite
// e drawing from seed + kDeepSeedOffset + e kEliteSeedStride, at a temperature that starts at T
// and cools by kDeepCooling per step through all of them. The lowest energy seen, the first
// elite's at least.
Chain deep_phase(const Energy& energy, const std::vector<Chain>& elite, const TournamentMCMC& s,
                 double T) {
  Chain best = elite.front();
  StepPoints point(energy.work());
  for (std::size_t e = 0; e < elite.size(); ++e) {
    Engine engine(s.seed() + kDeepSeedOffset + kEliteSeedStride * static_cast<std::uint64_t>(e));
    Normal prop(0.0, kDeepStepShare * s.step_size());
    Uniform unif(0.0, 1.0);
    Walker w(elite[e].beta, elite[e].energy, energy);
    for (int step = 0; step < s.n_deep(); ++step) {
      w.step(energy, T, prop, unif, engine);
      if (w.e < best.energy) {
        best.beta = w.b;
        best.energy = w.e;
      }
      T *= kDeepCooling;
      point();
    }
  }
  return best;
}

// The caller's start where it has a strictly lower energy than what the sampler found.
Chain no_worse_than_start(Chain best, const Energy& energy, const Vector& init) {
  Buffers buf = energy.buffers();
  const double e = energy(init, buf);
  if (e < best.energy) return {init, e};
  return best;
}

}  // namespace

MCMCResult TournamentMCMC::fit(const Matrix& X, const Vector& y, const Matrix* R1,
                               const Matrix* R2, double gamma1, double gamma2,
                               const Vector* init) const {
  const PenaltySpec pen{R1, R2, gamma1, gamma2};
  check_fit_arguments(*this, X, y, pen, init);
  require_working_set(*this, X.rows(), X.cols());
  const int k = static_cast<int>(X.cols());
  const Energy energy{X, y, k, H_piH_, hit_tolerance(view(y)), pen, score_table(*this, X)};
  std::vector<Chain> chains = warm_up_chains(energy, *this, init);
  const GibbsResult gibbs = summary_of(chains);
  std::sort(chains.begin(), chains.end(), lower_energy);
  Chain best = deep_phase(energy, select_elite(chains, n_elite_), *this,
                          kDeepStartShare * gibbs.r_heat);
  if (init != nullptr) best = no_worse_than_start(std::move(best), energy, *init);
  return {std::move(best.beta), best.energy, gibbs, n_chains_, n_elite_};
}

}  // namespace dorv
