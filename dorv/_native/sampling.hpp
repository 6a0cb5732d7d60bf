#pragma once
// Gibbs entropy summary of a set of energies, and the tournament MCMC sampler that searches for
// the coefficient vector of lowest MDL score.

#include "common.hpp"

#include <cstdint>
#include <vector>

namespace dorv {

struct GibbsResult {
  double H;       // entropy of the Boltzmann weights at T
  double Hmax;    // log(max(N, 2))
  double He;      // H / Hmax
  double r_heat;  // 0.01 + 0.99 He
  double var_E;   // population variance of the energies
  double T;       // temperature, as given
};

// Boltzmann summary of energies (N >= 1) at temperature T. A NaN energy makes H, He, r_heat and
// var_E NaN. Throws std::invalid_argument for an empty vector.
GibbsResult gibbs_entropy(const Vector& energies, double T);

struct Chain {
  Vector beta;
  double energy = 0.0;
};

struct MCMCResult {
  Vector beta_mcmc;   // lowest-energy vector found (k)
  double energy;      // its energy
  GibbsResult gibbs;  // summary of the warm-up final energies at T = 1
  int n_chains;       // configured number of chains
  int n_elite;        // configured number of elites
};

// The elite of chains ranked by ascending energy: the best chain, then chains farther than 0.1
// from every elite so far, then a fill from position elite.size() on, up to n_elite chains in
// all and never fewer than one. Throws std::invalid_argument for an empty list or vectors of
// different lengths.
std::vector<Chain> select_elite(const std::vector<Chain>& ranked, int n_elite);

class TournamentMCMC {
 public:
  TournamentMCMC(int n_chains, int n_warmup, int n_deep, int n_elite, double step_size,
                 int H_piH, std::uint64_t seed);

  // Parallel annealed warm-up, diversity-aware elite, sequential deep refinement of the MDL
  // score of X b against y. X (n, k), y (n), R1 and R2 (k, k) or null. X, y and the penalty
  // terms that are read must be finite. Chains start at random, or with init (k) at init
  // (chain 0) and init plus normal(0, step_size) noise (the others); the result is then never
  // of higher energy than init.
  MCMCResult fit(const Matrix& X, const Vector& y, const Matrix* R1, const Matrix* R2,
                 double gamma1, double gamma2, const Vector* init = nullptr) const;

  int n_chains() const { return n_chains_; }
  int n_warmup() const { return n_warmup_; }
  int n_deep() const { return n_deep_; }
  int n_elite() const { return n_elite_; }
  double step_size() const { return step_size_; }
  int H_piH() const { return H_piH_; }
  std::uint64_t seed() const { return seed_; }

 private:
  int n_chains_;
  int n_warmup_;
  int n_deep_;
  int n_elite_;
  double step_size_;
  int H_piH_;
  std::uint64_t seed_;
};

}  // namespace dorv
