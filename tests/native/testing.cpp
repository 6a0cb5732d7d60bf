// Test-only module: native helpers of the sampler that dorv_core does not offer.

#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <utility>
#include <vector>

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

}  // namespace

PYBIND11_MODULE(_dorv_testing, m) {
  m.doc() = "Native helpers for the tests of dorv_core.";
  m.def("select_elite", &select_elite, "ranked"_a, "n_elite"_a);
}
