// The Python module dorv_core: the operations of each area (binding/register_*.cpp), then the
// rerouting that names a refused argument in its message.

#include "binding/name_conversion.hpp"
#include "binding/registry.hpp"

PYBIND11_MODULE(dorv_core, m) {
  using namespace dorv::binding;
  m.doc() = "DORV-P performans-kritik cekirdegi (C++/Eigen).";
  register_statistics(m);
  register_bases(m);
  register_solvers(m);
  register_sampler(m);
  register_streaming(m);
  name_conversion_failures(m);
}
