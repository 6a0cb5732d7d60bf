#pragma once
// The module's operations by area, each registered by its register_*.cpp.

#include <pybind11/pybind11.h>

namespace dorv::binding {

// mad, compute_sr, mdl_score, mdl_score_reg, the rules (constants, hit_tolerance, inlier_scale)
void register_statistics(pybind11::module_& m);
void register_bases(pybind11::module_& m);       // design matrices and penalty matrices
void register_solvers(pybind11::module_& m);     // ols, fit_regularized_linear, fit_robust_linear
void register_sampler(pybind11::module_& m);     // gibbs_entropy, TournamentMCMC and results
// streamed_sums, streamed_predict, streamed_gram, streamed_quadratic, solve_sums
void register_streaming(pybind11::module_& m);

}  // namespace dorv::binding
