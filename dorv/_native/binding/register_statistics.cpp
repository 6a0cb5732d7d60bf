#include "binding/casters.hpp"

#include <pybind11/typing.h>

#include "binding/call_policy.hpp"
#include "binding/registry.hpp"
#include "scores.hpp"
#include "statistics.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace dorv::binding {

void register_statistics(py::module_& m) {
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
          "gamma1"_a = 0.0, "gamma2"_a = 0.0);
}

}  // namespace dorv::binding
