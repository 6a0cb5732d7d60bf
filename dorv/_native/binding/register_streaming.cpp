#include "binding/casters.hpp"

#include <pybind11/typing.h>

#include "binding/call_policy.hpp"
#include "binding/registry.hpp"
#include "streaming.hpp"

#include <optional>

namespace py = pybind11;
using namespace pybind11::literals;

namespace dorv::binding {

namespace {

// Work of a pass over the rows of T with M monomials and `per_pair` operations per pair of them.
double pass_work(const MatrixView& T, const MultiIndexList& multi_indices, double per_pair) {
  const auto M = static_cast<double>(multi_indices.size());
  return size(T) + static_cast<double>(T.rows) * M * (per_pair * M + 4.0);
}

}  // namespace

void register_streaming(py::module_& m) {
  m.def(
       "streamed_sums",
       [](const MatrixView& T, const VectorView& z, const MultiIndexList& multi_indices,
          const std::optional<Vector>& beta, double scale,
          const std::optional<VectorView>& sample_weight) {
         auto sums = released(pass_work(T, multi_indices, 1.0), [&] {
           return streamed_sums(T, z, multi_indices, beta ? &*beta : nullptr, scale,
                                sample_weight ? &*sample_weight : nullptr);
         });
         return py::typing::Tuple<Matrix, Vector, double>(
             py::make_tuple(std::move(sums.gram), std::move(sums.rhs), sums.total));
       },
       "T"_a, "z"_a, "multi_indices"_a.noconvert(), "beta"_a = py::none(), "scale"_a = 0.0,
       "sample_weight"_a = py::none())
      .def("streamed_predict",
           unlocked(&streamed_predict,
                    [](const MatrixView& T, const MultiIndexList& multi_indices, const Vector&) {
                      return pass_work(T, multi_indices, 0.0);
                    }),
           "T"_a, "multi_indices"_a.noconvert(), "beta"_a)
      .def("streamed_gram",
           unlocked(&streamed_gram,
                    [](const MatrixView& T, const MultiIndexList& multi_indices,
                       const VectorView&) { return pass_work(T, multi_indices, 1.0); }),
           "T"_a, "multi_indices"_a.noconvert(), "weight"_a)
      .def("streamed_quadratic",
           unlocked(&streamed_quadratic,
                    [](const MatrixView& T, const MultiIndexList& multi_indices, const Matrix&) {
                      return pass_work(T, multi_indices, 2.0);
                    }),
           "T"_a, "multi_indices"_a.noconvert(), "A"_a)
      .def(
          "solve_sums",
          [](const Matrix& gram, const Vector& rhs, double total_weight, const py::object& R1,
             const py::object& R2, double gamma1, double gamma2, double ridge) {
            Matrix r1, r2;
            const Matrix* p1 = optional_matrix(R1, r1);
            const Matrix* p2 = optional_matrix(R2, r2);
            const double p = size(rhs);
            return released(p * p * p, [&] {
              return solve_sums(gram, rhs, total_weight, p1, p2, gamma1, gamma2, ridge);
            });
          },
          "gram"_a, "rhs"_a, "total_weight"_a, "R1"_a = py::none(), "R2"_a = py::none(),
          "gamma1"_a = 0.0, "gamma2"_a = 0.0, "ridge"_a = 1e-10);
}

}  // namespace dorv::binding
