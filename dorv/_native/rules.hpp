#pragma once
// The numerical rules that the native units share and the module exports, each defined here
// once: the tuning of Tukey's biweight, the inlier cut and scale, the hit tolerance of the
// scores.

#include "common.hpp"

namespace dorv {

// A residual is a hit when it is below this many mads of the targets.
inline constexpr double kHitFactor = 0.4;
// Tukey's biweight of the M-step: 95 % efficiency for Gaussian noise.
inline constexpr double kBiweightEfficiencyTuning = 4.685;
// Tukey's biweight of the M-scale: 50 % breakdown at a mean rho of kBiweightScaleLevel (rho
// scaled to a maximum of 1), consistent for Gaussian noise.
inline constexpr double kBiweightScaleTuning = 1.547;
inline constexpr double kBiweightScaleLevel = 0.5;
// Inliers lie within this many scales of the model.
inline constexpr double kInlierCut = 3.0;
// E[Z^2 | |Z| < kInlierCut] for Z standard normal.
inline constexpr double kTruncatedVariance = 0.97334;
// 1 / Phi^-1(3/4): median |r| times this is consistent for the sd of Gaussian noise.
inline constexpr double kMadToSd = 1.482602218505602;
// Bound on the fixed-point iterations of the scales.
inline constexpr int kScaleSteps = 100;

// Hit tolerance of the scores for targets whose median absolute deviation is `mad`:
// kHitFactor mad, or kHitFactor itself when that is not positive (more than half the targets
// equal, or NaN).
double hit_tolerance(double mad);

// Scale of the inliers of the residuals r (n), consistent for Gaussian noise: from s, the fixed
// point of s^2 = mean(r^2 over |r| < kInlierCut s) / kTruncatedVariance, ended when a step moves
// s by at most 1e-12 s or after kScaleSteps steps; s itself when no residual lies within the
// cut. Not floored. r must be finite.
double inlier_scale(const Vector& r, double s);

// The same from kMadToSd median |r|, so 0 when more than half the residuals are 0 (an exact fit)
// or there are none. Throws std::invalid_argument unless r is finite.
double inlier_scale(const Vector& r);

}  // namespace dorv
