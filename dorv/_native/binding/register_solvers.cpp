#include "binding/casters.hpp"

#include <pybind11/typing.h>

#include "binding/call_policy.hpp"
#include "binding/registry.hpp"
#include "solvers.hpp"

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
             const py::object& R2, double gamma1, double gamma2, double ridge) {
            Matrix r1, r2;
            const Matrix* p1 = optional_matrix(R1, r1);
            const Matrix* p2 = optional_matrix(R2, r2);
            const double p = static_cast<double>(Phi.cols);
            return released(size(Phi) * (p + 2.0) + p * p * p, [&] {
              return fit_regularized_linear(Phi, y, p1, p2, gamma1, gamma2, ridge);
            });
          },
          "Phi"_a, "y"_a, "R1"_a = py::none(), "R2"_a = py::none(), "gamma1"_a = 0.0,
          "gamma2"_a = 0.0, "ridge"_a = 1e-10);
}

}  // namespace dorv::binding
