#pragma once
// Robust fits of penalised linear models: an MM-estimator with Tukey's biweight. A
// high-breakdown start (random elemental subsets improved by concentration steps) fixes a scale;
// an iteratively reweighted M-step at that scale then gives coefficients of high efficiency for
// Gaussian noise that gross outliers do not move.

#include "common.hpp"

#include <cstdint>

namespace dorv {

struct RobustFit {
  Vector coef;                                // coefficients (p)
  double scale;                               // noise sd of the inliers
  Vector weights;                             // final biweight weights in [0, 1] (m)
  Eigen::Matrix<bool, Eigen::Dynamic, 1> inlier_mask;  // |r_i| <= 3 scale (m)
  int n_iter;                                 // iterations of the M-step
  bool converged;                             // whether the M-step met its tolerance
};

struct RobustOptions {
  const Vector* init = nullptr;  // a start of the caller's (p), or null
  double scale = 0.0;            // > 0: the M-step's scale, not estimated; 0: estimated
  int n_starts = 100;            // random elemental subsets of the start search
  std::uint64_t seed = 0;        // of the generator that draws the subsets
  int max_iter = 50;             // bound on the M-step's iterations
  const Vector* sample_weight = nullptr;  // positive weights of the rows (m), or null: all 1
};

// MM-estimate of the model y ~ Phi beta under the penalties of fit_regularized_linear.
//
// Start: opt.n_starts elemental subsets of p rows, drawn in a fixed order from a 64-bit
// Mersenne Twister seeded with opt.seed (on a seeded sample of 2000 rows when m is larger), each
// fitted exactly (with the penalties: their penalised fit) and improved by two concentration
// steps: penalised least squares on the h = floor((m + p + 1) / 2) rows of smallest |r|. opt.init
// is one more start. The five of least trimmed sum of squares are iterated to convergence and
// the best is kept. Its M-scale (biweight, c = 1.547, 50 % breakdown, Gaussian-consistent) is the
// scale s0 of the M-step, unless opt.scale gives one. With opt.init and opt.scale both given the
// search is skipped: opt.init is the start. With m <= p (or p = 0) outliers cannot be told: the
// result is the penalised least-squares fit of every row with all weights 1, every row an
// inlier, the root mean square residual (floored) as scale, n_iter 0 and converged true.
//
// M-step: iteratively reweighted penalised least squares with the biweight at c = 4.685 and scale
// s0, (Phi' W Phi + ridge I + n_w gamma1 R1 + n_w gamma2 R2) beta = Phi' W y with n_w the sum of
// the weights, until no fitted value moves by more than 1e-10 s0 or after opt.max_iter steps.
//
// Result scale: from s0, the fixed point of s^2 = mean(r^2 over |r| < 3 s) / 0.97334 on the
// final residuals (consistent for Gaussian noise, unmoved by points beyond 3 s). Scales are
// floored at 1e-12 max |y_i| (the smallest normal double for y = 0), so an exact fit has a
// positive scale.
//
// Sample weights w (opt.sample_weight; precision weights: the noise sd of row i is
// scale / sqrt(w_i)) make it the same fit of the rows scaled by sqrt(w_i): the concentration
// steps rank the rows by w_i r_i^2 and sum w_i r_i^2, the M-step's weights are w_i times the
// biweight weights of sqrt(w_i) r_i / s0, n_w is the sum of those products, and the scales,
// the weights and the inlier mask of the result are those of the residuals sqrt(w_i) r_i. Rows of
// weight 0 are the caller's to drop.
//
// Phi (m, p), y (m), R1 and R2 (p, p) or null, opt.sample_weight (m) or null. Throws std::invalid_argument for mismatched
// shapes, non-finite data, init or scale, a negative scale, n_starts < 1, max_iter < 0 or a sample
// weight that is not a finite positive number. The
// result is the same, bit for bit, for every layout of Phi and y and every thread count.
RobustFit fit_robust_linear(const MatrixView& Phi, const VectorView& y, const Matrix* R1,
                            const Matrix* R2, double gamma1, double gamma2, double ridge,
                            const RobustOptions& opt);

}  // namespace dorv
