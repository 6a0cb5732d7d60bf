// Test-only module: native helpers that dorv_core does not offer, and literal reference forms
// of operations whose fast forms must give the same bits.

#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>
#include <vector>

#include <Eigen/Cholesky>

#include "bases.hpp"
#include "kernels.hpp"
#include "sampling.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using Ranked = std::vector<std::pair<dorv::Vector, double>>;

// select_elite on (beta, energy) pairs, already ranked; returns the elite the same way.
Ranked select_elite(const Ranked& ranked, int n_elite) {
  std::vector<dorv::Chain> chains;
  for (const auto& [beta, energy] : ranked) chains.push_back({beta, energy});
  Ranked elite;
  for (auto& chain : dorv::select_elite(chains, n_elite))
    elite.emplace_back(std::move(chain.beta), chain.energy);
  return elite;
}

// The penalised normal equations step by step: the full product Phi'Phi, the ridge, then each
// weighted matrix over all its entries, and LDLT on the lower triangle.
dorv::Vector normal_equations_solve(const dorv::Matrix& Phi, const dorv::Vector& y,
                                    const dorv::Matrix& R1, const dorv::Matrix& R2, double gamma1,
                                    double gamma2, double ridge) {
  const double n = static_cast<double>(y.size());
  dorv::Matrix A = Phi.transpose() * Phi;
  A.diagonal().array() += ridge;
  if (gamma1 != 0.0) A += (n * gamma1) * R1;
  if (gamma2 != 0.0) A += (n * gamma2) * R2;
  const dorv::Vector b = Phi.transpose() * y;
  return Eigen::LDLT<dorv::Matrix, Eigen::Lower>(A).solve(b);
}

// design_matrix_nd literally: each column whole, one element-wise power per variable.
dorv::Matrix design_matrix_nd_whole_columns(const dorv::MultiIndexList& multi_indices,
                                            const std::vector<dorv::Vector>& X_cols) {
  dorv::Matrix Phi(X_cols[0].size(), static_cast<Eigen::Index>(multi_indices.size()));
  for (Eigen::Index j = 0; j < Phi.cols(); ++j) {
    Phi.col(j).setOnes();
    const auto& mi = multi_indices[static_cast<std::size_t>(j)];
    for (std::size_t d = 0; d < X_cols.size(); ++d)
      if (mi[d] > 0) Phi.col(j).array() *= X_cols[d].array().pow(static_cast<double>(mi[d]));
  }
  return Phi;
}

}  // namespace

PYBIND11_MODULE(_dorv_testing, m) {
  m.doc() = "Native helpers for the tests of dorv_core.";
  m.def("select_elite", &select_elite, "ranked"_a, "n_elite"_a);
  m.def("normal_equations_solve", &normal_equations_solve, "Phi"_a, "y"_a, "R1"_a, "R2"_a,
        "gamma1"_a, "gamma2"_a, "ridge"_a);
  m.def("design_matrix_nd_whole_columns", &design_matrix_nd_whole_columns, "multi_indices"_a,
        "X_cols"_a);
  m.def("kernel_form", [] { return std::string(dorv::kernel_form().name); });
}
