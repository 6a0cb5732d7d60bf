#pragma once
// Types and the memory guard shared by the native units.

#include <Eigen/Dense>
#include <new>
#include <unistd.h>

namespace dorv {

using Matrix = Eigen::MatrixXd;  // column-major doubles
using Vector = Eigen::VectorXd;
using Index = Eigen::Index;

// Throws std::bad_alloc when `count` doubles exceed the machine's physical memory. The count is
// a double so that products of sizes cannot overflow. Linux over-commits memory: an allocation
// that large may succeed and the process be killed later, while it is filled.
inline void require_doubles(double count) {
  const double physical = static_cast<double>(sysconf(_SC_PHYS_PAGES)) *
                          static_cast<double>(sysconf(_SC_PAGE_SIZE));
  if (!(count * static_cast<double>(sizeof(double)) <= physical)) throw std::bad_alloc();
}

}  // namespace dorv
