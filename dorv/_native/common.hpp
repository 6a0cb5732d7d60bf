#pragma once
// Types, views of arrays where they lie, the memory guard and the stop check shared by the
// native units.

#include <Eigen/Core>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <fstream>
#include <limits>
#include <new>
#include <string>
#include <cstdint>
#include <thread>
#include <unistd.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace dorv {

using Matrix = Eigen::MatrixXd;  // column-major doubles
using Vector = Eigen::VectorXd;
using Index = Eigen::Index;

// A read-only matrix of doubles where it lies: entry (i, j) is data[i * row_step + j * col_step]
// (steps in doubles, positive). Column-major storage has row_step 1, C order col_step 1.
struct MatrixView {
  const double* data = nullptr;
  std::ptrdiff_t rows = 0, cols = 0, row_step = 1, col_step = 0;

  double operator()(std::ptrdiff_t i, std::ptrdiff_t j) const {
    return data[i * row_step + j * col_step];
  }
};

// A read-only vector of doubles where it lies: entry i is data[i * step] (step positive).
struct VectorView {
  const double* data = nullptr;
  std::ptrdiff_t size = 0, step = 1;

  double operator()(std::ptrdiff_t i) const { return data[i * step]; }
};

// Views of storage of this library's own.
inline MatrixView view(const Matrix& A) { return {A.data(), A.rows(), A.cols(), 1, A.rows()}; }
inline VectorView view(const Vector& v) { return {v.data(), v.size(), 1}; }

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

// The refusal of the memory guard: a std::bad_alloc that says how much was asked for and how
// much was available.
class OutOfMemory : public std::bad_alloc {
 public:
  OutOfMemory(double bytes, double available) {
    std::snprintf(message_, sizeof message_,
                  "cannot allocate %.0f bytes (%.1f GB), %.1f GB available", bytes, bytes / 1e9,
                  std::max(available, 0.0) / 1e9);
  }
  const char* what() const noexcept override { return message_; }

 private:
  char message_[128];
};

// Throws OutOfMemory when `count` doubles cannot fit in the memory still available. The count
// is a double so that products of sizes cannot overflow. Linux over-commits memory: an
// allocation that large may succeed and the process be killed later, while it is filled.
// Requests below 64 MiB skip the system query.
inline void require_doubles(double count) {
  const double bytes = count * static_cast<double>(sizeof(double));
  if (bytes <= 64.0 * 1024 * 1024) return;
  const double available = available_bytes();
  if (!(bytes <= available)) throw OutOfMemory(bytes, available);
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

// Stopping long work on request. A caller that may want a call to end early (the extension
// module, when a Python signal handler raises) installs a StopSource on its thread for the
// length of the call; the long loops of the units report their progress to stop_point(work),
// a rough count of arithmetic operations. Every kWorkPerLook units the clock is read, and once
// kStopInterval has passed since the last question the source is asked; when it wants the call
// stopped, Stopped is thrown. Storage is owned by values and containers throughout, so the
// unwinding frees it and no partial result escapes. Without a source (plain C++ use, the test
// module, small calls) stop_point costs a thread-local read and never throws.
struct Stopped : std::exception {
  const char* what() const noexcept override { return "stopped on request"; }
};

class StopSource {
 public:
  static constexpr double kWorkPerLook = 1 << 16;
  static constexpr std::chrono::milliseconds kStopInterval{20};

  virtual ~StopSource() = default;

  // Whether the call must stop; asked only on the thread that installed the source, at most
  // once every kStopInterval. Implemented by the module that drives the units.
  virtual bool requested() = 0;

  // Throws Stopped once a stop has been requested. The installing thread asks requested() when
  // kStopInterval has passed since it last did; other threads working for the same call (the
  // sampler's team) only read the answer.
  void look() {
    if (stopped_.load(std::memory_order_relaxed)) throw Stopped();
    if (std::this_thread::get_id() != owner_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < kStopInterval) return;
    last_ = now;
    if (!requested()) return;
    stopped_.store(true, std::memory_order_relaxed);
    throw Stopped();
  }

 private:
  std::thread::id owner_ = std::this_thread::get_id();
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
  std::atomic<bool> stopped_{false};
};

namespace detail {
struct StopLocal {
  StopSource* source = nullptr;
  double work = 0.0;  // units since the last look
};
inline thread_local StopLocal stop_local;
}  // namespace detail

// Makes `source` (or none) the stop source of this thread until the end of the scope; scopes
// nest. A parallel region opens one per thread with the caller's source, so that the team
// follows the caller's stop.
class StopScope {
 public:
  explicit StopScope(StopSource* source) : saved_(detail::stop_local) {
    detail::stop_local = {source, 0.0};
  }
  ~StopScope() { detail::stop_local = saved_; }
  StopScope(const StopScope&) = delete;
  StopScope& operator=(const StopScope&) = delete;

 private:
  detail::StopLocal saved_;
};

// The stop source of this thread, or null.
inline StopSource* current_stop_source() { return detail::stop_local.source; }

// Reports `work` units done since the last call; throws Stopped when the call must end.
inline void stop_point(double work) {
  detail::StopLocal& local = detail::stop_local;
  if (local.source == nullptr) return;
  local.work += work;
  if (local.work < StopSource::kWorkPerLook) return;
  local.work = 0.0;
  local.source->look();
}

// stop_point for loops of cheap iterations: at every 2^14-th index i, reports 2^14 iterations of
// `work` units each.
inline void stop_point_at(Index i, double work) {
  constexpr Index stride = Index{1} << 14;
  if ((i & (stride - 1)) == 0) stop_point(work * static_cast<double>(stride));
}

}  // namespace dorv
