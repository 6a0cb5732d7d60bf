#include "binding/casters.hpp"

#include <pybind11/typing.h>

#include "binding/call_policy.hpp"
#include "binding/registry.hpp"
#include "binding/results.hpp"
#include "robust.hpp"
#include "solvers.hpp"

#include <algorithm>
#include <optional>

namespace py = pybind11;
using namespace pybind11::literals;

namespace dorv::binding {

void register_solvers(py::module_& m) {
  m.def("ols",
        unlocked(&ols,
                 [](const MatrixView& X, const VectorView&) {
                   return size(X) * static_cast<double>(X.cols);
                 }),
        "X"_a, "y"_a)
      .def(
          "fit_regularized_linear",
          [](const MatrixView& Phi, const VectorView& y, const py::object& R1,
             const py::object& R2, double gamma1, double gamma2, double ridge,
             const std::optional<Vector>& sample_weight) {
            Matrix r1, r2;
            const Matrix* p1 = optional_matrix(R1, r1);
            const Matrix* p2 = optional_matrix(R2, r2);
            const Vector* w = sample_weight ? &*sample_weight : nullptr;
            const double p = static_cast<double>(Phi.cols);
            return released(size(Phi) * (p + 2.0) + p * p * p, [&] {
              return fit_regularized_linear(Phi, y, p1, p2, gamma1, gamma2, ridge, w);
            });
          },
          "Phi"_a, "y"_a, "R1"_a = py::none(), "R2"_a = py::none(), "gamma1"_a = 0.0,
          "gamma2"_a = 0.0, "ridge"_a = 1e-10, py::kw_only(), "sample_weight"_a = py::none());

  py::class_<RobustFit> result(m, "RobustFit",
                               "What fit_robust_linear found; read-only.");
  result.def_readonly("coef", &RobustFit::coef, "Coefficients (p).")
      .def_readonly("scale", &RobustFit::scale, "Noise sd of the inliers.")
      .def_readonly("weights", &RobustFit::weights, "Final biweight weights in [0, 1] (m).")
      .def_readonly("inlier_mask", &RobustFit::inlier_mask, "|r| <= 3 scale (m).")
      .def_readonly("n_iter", &RobustFit::n_iter, "Iterations of the M-step.")
      .def_readonly("converged", &RobustFit::converged, "Whether the M-step met its tolerance.")
      .def("__repr__", [](const RobustFit& r) {
        return fields_repr("RobustFit", {{"coef", py::cast(r.coef)},
                                         {"scale", py::float_(r.scale)},
                                         {"n_iter", py::int_(r.n_iter)},
                                         {"converged", py::bool_(r.converged)}});
      });
  refuse_pickling(result);

  // None for init or scale: none given (a scale of 0 also asks for an estimate).
  m.def(
      "fit_robust_linear",
      [](const MatrixView& Phi, const VectorView& y, const py::object& R1, const py::object& R2,
         double gamma1, double gamma2, double ridge, const std::optional<Vector>& init,
         const std::optional<double>& scale, int n_starts, std::uint64_t seed, int max_iter,
         const std::optional<Vector>& sample_weight) {
        Matrix r1, r2;
        const Matrix* p1 = optional_matrix(R1, r1);
        const Matrix* p2 = optional_matrix(R2, r2);
        const RobustOptions opt{init ? &*init : nullptr, scale.value_or(0.0), n_starts, seed,
                                max_iter, sample_weight ? &*sample_weight : nullptr};
        const double p = static_cast<double>(Phi.cols);
        const double search = std::max(n_starts, 0) * 2000.0 * p * 8.0;
        return released(search + std::max(max_iter, 1) * size(Phi) * (p + 8.0), [&] {
          return fit_robust_linear(Phi, y, p1, p2, gamma1, gamma2, ridge, opt);
        });
      },
      "Phi"_a, "y"_a, "R1"_a = py::none(), "R2"_a = py::none(), "gamma1"_a = 0.0,
      "gamma2"_a = 0.0, "ridge"_a = 1e-10, py::kw_only(), "init"_a = py::none(),
      "scale"_a = py::none(), "n_starts"_a.noconvert() = 100, "seed"_a.noconvert() = 0,
      "max_iter"_a.noconvert() = 50, "sample_weight"_a = py::none());
}

}  // namespace dorv::binding
