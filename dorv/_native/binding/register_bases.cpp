#include "binding/casters.hpp"

#include <pybind11/typing.h>

#include "binding/call_policy.hpp"
#include "binding/registry.hpp"
#include "bases.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace dorv::binding {

void register_bases(py::module_& m) {
  // The tuple wrappers move the records' matrices into their arrays rather than copying them.
  m.def("design_matrix_1d",
        unlocked(&design_matrix_1d,
                 [](int deg, const VectorView& x) { return (deg + 1.0) * size(x); }),
        "deg"_a.noconvert(), "x"_a)
      .def(
          "smoothness_penalty_matrices_1d",
          [](int deg, double x_min, double x_max, int n_grid) {
            auto pm = released(4.0 * n_grid * (deg + 1.0) * (deg + 11.0), [&] {
              return smoothness_penalty_matrices_1d(deg, x_min, x_max, n_grid);
            });
            return py::typing::Tuple<Matrix, Matrix>(
                py::make_tuple(std::move(pm.R1), std::move(pm.R2)));
          },
          "deg"_a.noconvert(), "x_min"_a, "x_max"_a, "n_grid"_a.noconvert() = 600)
      .def("boundary_reduce_1d",
           unlocked(&boundary_reduce_1d,
                    [](int deg, double, double) { return 4.0 * (deg + 1.0) * (deg + 1.0); }),
           "deg"_a.noconvert(), "x_min"_a, "x_max"_a)
      .def("design_matrix_nd",
           unlocked(&design_matrix_nd,
                    [](const MultiIndexList& multi_indices, const std::vector<Vector>& X_cols) {
                      const double n = X_cols.empty() ? 0.0 : size(X_cols[0]);
                      return 20.0 * n * static_cast<double>(multi_indices.size()) *
                             static_cast<double>(X_cols.size());
                    }),
           "multi_indices"_a.noconvert(), "X_cols"_a)
      .def(
          "build_penalty_matrices_nd",
          [](const std::vector<int>& degrees, const Bounds& bounds, int n_grid_per_dim) {
            double basis = 1.0, tables = 0.0;
            for (const int deg : degrees) {
              basis *= deg + 1.0;
              tables += 60.0 * n_grid_per_dim * (deg + 1.0) * (deg + 1.0);
            }
            const double work = 10.0 * basis * basis * static_cast<double>(degrees.size());
            auto pm = released(work + tables, [&] {
              return build_penalty_matrices_nd(degrees, bounds, n_grid_per_dim);
            });
            return py::typing::Tuple<Matrix, Matrix, MultiIndexList>(py::make_tuple(
                std::move(pm.R1), std::move(pm.R2), std::move(pm.multi_indices)));
          },
          "degrees"_a.noconvert(), "bounds"_a, "n_grid_per_dim"_a.noconvert() = 30);
}

}  // namespace dorv::binding
