#include "binding/casters.hpp"

#include <pybind11/typing.h>

#include "binding/call_policy.hpp"
#include "binding/registry.hpp"
#include "checks.hpp"
#include "rules.hpp"
#include "scores.hpp"
#include "statistics.hpp"

#include <optional>

namespace py = pybind11;
using namespace pybind11::literals;

namespace dorv::binding {

void register_statistics(py::module_& m) {
  m.attr("HIT_FACTOR") = kHitFactor;
  m.attr("BIWEIGHT_EFFICIENCY_TUNING") = kBiweightEfficiencyTuning;
  m.attr("BIWEIGHT_SCALE_TUNING") = kBiweightScaleTuning;
  m.attr("INLIER_CUT") = kInlierCut;
  m.attr("TRUNCATED_VARIANCE") = kTruncatedVariance;
  m.attr("MAD_TO_SD") = kMadToSd;
  m.def("mad", unlocked(&mad, [](const VectorView& y) { return 10.0 * size(y); }), "y"_a)
      .def("compute_sr",
           unlocked(&compute_SR,
                     [](const VectorView&, const VectorView& yt, double) { return size(yt); }),
           "yp"_a, "yt"_a, "eps"_a)
      .def(
          "mdl_score",
          [](const VectorView& yp, const VectorView& yt, int k, int H) {
            return released(12.0 * size(yt),
                            [&] { return mdl_score(yp, yt, k, H, nullptr, nullptr); });
          },
          "yp"_a, "yt"_a, "k"_a.noconvert(), "H"_a.noconvert() = 20)
      .def(
          "mdl_score_reg",
          [](const VectorView& yp, const VectorView& yt, int k, int H, const Vector& beta,
             const Matrix& R1, const Matrix& R2, double gamma1, double gamma2) {
            const PenaltySpec pen{&R1, &R2, gamma1, gamma2};
            return released(12.0 * size(yt) + 2.0 * (size(R1) + size(R2)),
                            [&] { return mdl_score(yp, yt, k, H, &beta, &pen); });
          },
          "yp"_a, "yt"_a, "k"_a.noconvert(), "H"_a.noconvert(), "beta"_a, "R1"_a, "R2"_a,
          "gamma1"_a = 0.0, "gamma2"_a = 0.0)
      .def("hit_tolerance", static_cast<double (*)(double)>(&hit_tolerance), "mad"_a,
           "HIT_FACTOR * mad, or HIT_FACTOR when mad is not positive (or NaN): the hit\n"
           "tolerance of the scores and the sampler for targets of that mad.")
      .def(
          "inlier_scale",
          [](const Vector& r, const std::optional<double>& start) {
            return released(50.0 * size(r), [&] {
              if (!start) return inlier_scale(r);
              require_finite(r, "inlier_scale", "residuals");
              require_positive(*start, "inlier_scale", "start");
              return inlier_scale(r, *start);
            });
          },
          "residuals"_a, "start"_a = py::none(),
          "Noise sd of the inliers: from `start` (default MAD_TO_SD * median |r|), the fixed\n"
          "point of s**2 = mean(r**2 over |r| < INLIER_CUT * s) / TRUNCATED_VARIANCE, as\n"
          "fit_robust_linear computes its scale. Not floored: 0 when more than half the\n"
          "residuals are 0, or for none.");
}

}  // namespace dorv::binding
