#include "binding/casters.hpp"

#include <pybind11/typing.h>

#include "binding/call_policy.hpp"
#include "binding/registry.hpp"
#include "binding/results.hpp"
#include "sampling.hpp"

#include <optional>

namespace py = pybind11;
using namespace pybind11::literals;

namespace dorv::binding {

void register_sampler(py::module_& m) {
  py::class_<GibbsResult> gibbs(
      m, "GibbsResult",
      "Boltzmann summary of a set of energies at a temperature T: how evenly the weights\n"
      "exp(-(E - min E) / T) spread over the energies. Returned by gibbs_entropy and held by\n"
      "MCMCResult.gibbs; read-only.");
  gibbs.def_readonly("H", &GibbsResult::H, "Entropy of the normalised Boltzmann weights.")
      .def_readonly("Hmax", &GibbsResult::Hmax, "Largest entropy: log(max(N, 2)) for N energies.")
      .def_readonly("He", &GibbsResult::He, "Normalised entropy H / Hmax, between 0 and 1.")
      .def_readonly("r_heat", &GibbsResult::r_heat,
                    "0.01 + 0.99 He: the sampler's deep phase starts at 0.5 r_heat.")
      .def_readonly("var_E", &GibbsResult::var_E, "Population variance of the energies.")
      .def_readonly("T", &GibbsResult::T, "The temperature, as given.")
      .def("__repr__", [](const GibbsResult& g) {
        return fields_repr("GibbsResult",
                           {{"H", py::float_(g.H)}, {"Hmax", py::float_(g.Hmax)},
                            {"He", py::float_(g.He)}, {"r_heat", py::float_(g.r_heat)},
                            {"var_E", py::float_(g.var_E)}, {"T", py::float_(g.T)}});
      });
  refuse_pickling(gibbs);

  m.def("gibbs_entropy",
        unlocked(&gibbs_entropy, [](const Vector& E, double) { return 40.0 * size(E); }),
        "energies"_a, "T"_a = 1.0);

  // Properties return views into the record (read-only arrays, internal references), each
  // keeping the result object alive.
  py::class_<MCMCResult> result(
      m, "MCMCResult", "What TournamentMCMC.fit found; read-only.");
  result
      .def_readonly("beta_mcmc", &MCMCResult::beta_mcmc,
                    "Lowest-energy coefficient vector found (k,), a read-only array.")
      .def_readonly("energy", &MCMCResult::energy,
                    "Its energy: the MDL score of X @ beta_mcmc against y, with the penalties.")
      .def_readonly("gibbs", &MCMCResult::gibbs,
                    "GibbsResult of the warm-up chains' final energies at T = 1.")
      .def_readonly("n_chains", &MCMCResult::n_chains, "The sampler's n_chains.")
      .def_readonly("n_elite", &MCMCResult::n_elite,
                    "The sampler's n_elite, as configured (not the number of elites refined).")
      .def("__repr__", [](const MCMCResult& r) {
        return fields_repr("MCMCResult", {{"beta_mcmc", py::cast(r.beta_mcmc)},
                                          {"energy", py::float_(r.energy)},
                                          {"gibbs", py::cast(r.gibbs)},
                                          {"n_chains", py::int_(r.n_chains)},
                                          {"n_elite", py::int_(r.n_elite)}});
      });
  refuse_pickling(result);

  py::class_<TournamentMCMC> sampler(m, "TournamentMCMC", R"(Tournament Markov-chain Monte Carlo sampler.

fit(X, y, R1=None, R2=None, gamma1=0.0, gamma2=0.0, init=None) searches for the coefficient
vector b of lowest energy, the MDL score of X @ b against y (mdl_score_reg's, with H = H_piH), in
three stages: n_chains Metropolis chains from random starts (with init: chain 0 at init, the
others at init plus normal(0, step_size) noise, and the result never worse than init), cooled from temperature 2.0 by 0.995 per
step, run in parallel for n_warmup steps each; the chains ranked by energy and an elite of at
most n_elite picked from the top, preferring chains more than 0.1 apart; each elite refined in
turn for n_deep finer and colder steps. The lowest energy seen wins (an MCMCResult). Equal
settings and data give equal results, whatever the number of threads.

Settings, stored as given and checked by fit:
  n_chains  -- warm-up chains, at least 1.
  n_warmup  -- warm-up steps per chain, at least 0.
  n_deep    -- deep-phase steps per elite, at least 0.
  n_elite   -- largest number of elites; one elite is refined when it is 1 or less.
  step_size -- standard deviation of each coordinate of a warm-up proposal, positive and
               finite; the deep phase uses 0.3 * step_size.
  H_piH     -- the H of the MDL score, positive when X has columns.
  seed      -- base seed of every random stream, 0 to 2**64 - 1.)");
  sampler
      .def(py::init<int, int, int, int, double, int, std::uint64_t>(),
           "n_chains"_a.noconvert() = 25, "n_warmup"_a.noconvert() = 200,
           "n_deep"_a.noconvert() = 2000, "n_elite"_a.noconvert() = 5, "step_size"_a = 0.05,
           "H_piH"_a.noconvert() = 20, "seed"_a.noconvert() = 42)
      .def(
          "fit",
          [](const TournamentMCMC& self, const Matrix& X, const Vector& y, const py::object& R1,
             const py::object& R2, double gamma1, double gamma2,
             const std::optional<Vector>& init) {
            Matrix r1, r2;
            const Matrix* p1 = optional_matrix(R1, r1);
            const Matrix* p2 = optional_matrix(R2, r2);
            const Vector* start = init ? &*init : nullptr;
            // Even the smallest fit starts a thread team: always worth a release.
            return released(kReleaseWork,
                            [&] { return self.fit(X, y, p1, p2, gamma1, gamma2, start); });
          },
          "X"_a, "y"_a, "R1"_a = py::none(), "R2"_a = py::none(), "gamma1"_a = 0.0,
          "gamma2"_a = 0.0, "init"_a = py::none())
      .def("__repr__", [](const TournamentMCMC& t) {
        return fields_repr("TournamentMCMC", {{"n_chains", py::int_(t.n_chains())},
                                              {"n_warmup", py::int_(t.n_warmup())},
                                              {"n_deep", py::int_(t.n_deep())},
                                              {"n_elite", py::int_(t.n_elite())},
                                              {"step_size", py::float_(t.step_size())},
                                              {"H_piH", py::int_(t.H_piH())},
                                              {"seed", py::int_(t.seed())}});
      });
  refuse_pickling(sampler);
}

}  // namespace dorv::binding
