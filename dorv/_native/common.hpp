#pragma once
// Types and the memory guard shared by the native units.

#include <Eigen/Dense>
#include <algorithm>
#include <fstream>
#include <limits>
#include <new>
#include <string>
#include <cstdint>
#include <unistd.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace dorv {

using Matrix = Eigen::MatrixXd;  // column-major doubles
using Vector = Eigen::VectorXd;
using Index = Eigen::Index;

// Memory the process can still obtain without being killed: the kernel's estimate of available
// memory, bounded by the control group's limit where one is set; the physical size where
// neither can be read.
inline double available_bytes() {
  double available = static_cast<double>(sysconf(_SC_PHYS_PAGES)) *
                     static_cast<double>(sysconf(_SC_PAGE_SIZE));
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  double kib = 0.0;
  while (meminfo >> key >> kib) {
    if (key == "MemAvailable:") {
      available = std::min(available, 1024.0 * kib);
      break;
    }
    meminfo.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  double limit = 0.0, used = 0.0;
  std::ifstream max_file("/sys/fs/cgroup/memory.max");
  std::ifstream current_file("/sys/fs/cgroup/memory.current");
  if (max_file >> limit && current_file >> used) available = std::min(available, limit - used);
  return available;
}

// Throws std::bad_alloc when `count` doubles cannot fit in the memory still available. The
// count is a double so that products of sizes cannot overflow. Linux over-commits memory: an
// allocation that large may succeed and the process be killed later, while it is filled.
// Requests below 64 MiB skip the system query.
inline void require_doubles(double count) {
  const double bytes = count * static_cast<double>(sizeof(double));
  if (bytes <= 64.0 * 1024 * 1024) return;
  if (!(bytes <= available_bytes())) throw std::bad_alloc();
}

// Asks for huge pages behind large fresh storage before it is first written, as NumPy does for
// its arrays: filling 160 MB then takes some eighty page faults instead of forty thousand. A
// hint only; where it is refused nothing changes.
inline void advise_huge_pages(double* data, Index size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
  const auto bytes = static_cast<std::uintptr_t>(size) * sizeof(double);
  if (bytes < 2 * huge) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + huge - 1) & ~(huge - 1);
  const std::uintptr_t last = (begin + bytes) & ~(huge - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace dorv
