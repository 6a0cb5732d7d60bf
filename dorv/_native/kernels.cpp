#include "kernels.hpp"

#include <omp.h>
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <cstdint>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace dorv {

namespace {

// The best form built that this processor runs, no better than `cap`.
const KernelForm& best_form(const std::string& cap) {
#if defined(DORV_FORM_AVX2) || defined(DORV_FORM_AVX512)
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#endif
#if defined(DORV_FORM_AVX512)
  const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") &&
                      __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
                      __builtin_cpu_supports("avx512bw");
  if (avx512 && (cap == "auto" || cap == "avx512")) return kernels_avx512;
#endif
#if defined(DORV_FORM_AVX2)
  if (avx2 && cap != "sse2") return kernels_avx2;
#endif
  (void)cap;
  return kernels_sse2;
}

const KernelForm& chosen_form() {
  const char* env = std::getenv("DORV_KERNELS");
  const std::string cap = env != nullptr && *env != '\0' ? env : "auto";
  if (cap != "auto" && cap != "sse2" && cap != "avx2" && cap != "avx512")
    throw std::invalid_argument(
        "DORV_KERNELS must be one of auto, sse2, avx2, avx512, got '" + cap + "'");
  return best_form(cap);
}

bool forked_child = false;
[[maybe_unused]] const int fork_guard =
    pthread_atfork(nullptr, nullptr, [] { forked_child = true; });

// The stop check between blocks of rows.
void report_progress(double work) { stop_point(work); }

}  // namespace

Index chunk_count(double by_rows, double work) {
  const double count = std::min({by_rows, work / double(Index{1} << 21), 64.0});
  return count < 1.0 ? 1 : static_cast<Index>(count);
}

const KernelForm& kernel_form() {
  static const KernelForm& form = chosen_form();
  return form;
}

bool threads_usable() { return !forked_child; }

Index thread_budget() { return std::max(1, omp_get_max_threads()); }

void for_each_chunk(Index n, const std::function<void(Index)>& body) {
  std::vector<std::exception_ptr> errors(static_cast<std::size_t>(n));
  std::atomic<Index> next{0};
  std::mutex mutex;
  std::condition_variable changed;
  Index done = 0;
  StopSource* const stop = current_stop_source();
  const auto work = [&] {
    for (Index c = next++; c < n; c = next++) {
      try {
        if (stop != nullptr) stop->look();  // no chunk starts once the call is stopping
        body(c);
      } catch (...) {
        errors[static_cast<std::size_t>(c)] = std::current_exception();
      }
      {
        const std::lock_guard<std::mutex> lock(mutex);
        ++done;
      }
      changed.notify_all();
    }
  };
  std::vector<std::thread> team;
  try {
    for (Index t = 1; t < std::min(n, thread_budget()); ++t)
      team.emplace_back([&] {
        const StopScope follow(stop);
        work();
      });
  } catch (const std::system_error&) {
    // No more threads to be had: the ones started and this one do the work.
  }
  work();
  std::exception_ptr stopped;
  if (stop != nullptr) {
    std::unique_lock<std::mutex> lock(mutex);
    while (done < n) {
      changed.wait_for(lock, StopSource::kStopInterval);
      lock.unlock();
      try {
        stop->look();
      } catch (...) {
        if (!stopped) stopped = std::current_exception();
      }
      lock.lock();
    }
  }
  for (std::thread& t : team) t.join();
  if (stopped) std::rethrow_exception(stopped);
  for (const auto& error : errors)
    if (error) std::rethrow_exception(error);
}

void run_unless_stopped(void (*step)(void*), void* state, void (*release)(void*)) {
  StopSource* const stop = current_stop_source();
  if (stop == nullptr) return step(state);
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    bool finished = false, abandoned = false;
  };
  std::shared_ptr<Shared> shared;
  try {
    stop->look();
    shared = std::make_shared<Shared>();
    std::fenv_t environment;
    std::fegetenv(&environment);
    std::thread([=] {
      std::fesetenv(&environment);
      step(state);
      const std::lock_guard<std::mutex> lock(shared->mutex);
      shared->finished = true;
      if (shared->abandoned) release(state);
      shared->changed.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return step(state);  // no thread to be had
  } catch (...) {
    release(state);
    throw;
  }
  std::unique_lock<std::mutex> lock(shared->mutex);
  while (!shared->finished) {
    if (shared->changed.wait_for(lock, StopSource::kStopInterval) == std::cv_status::no_timeout)
      continue;
    lock.unlock();
    try {
      stop->look();
    } catch (...) {
      lock.lock();
      if (shared->finished)
        release(state);
      else
        shared->abandoned = true;
      throw;
    }
    lock.lock();
  }
}

void prepare_fresh(double* data, Index size) {
  advise_huge_pages(data, size);
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  constexpr std::uintptr_t slice = std::uintptr_t{32} << 20;
  const auto begin = reinterpret_cast<std::uintptr_t>(data) & ~std::uintptr_t{4095};
  const auto end = reinterpret_cast<std::uintptr_t>(data + size);
  const auto slices = static_cast<Index>((end - begin + slice - 1) / slice);
  if (slices < 2) return;
  const Index n = std::min(slices, thread_budget());
  for_each_chunk(n, [&](Index c) {
    for (Index k = chunk_start(slices, n, c); k < chunk_start(slices, n, c + 1); ++k) {
      const std::uintptr_t first = begin + static_cast<std::uintptr_t>(k) * slice;
      if (madvise(reinterpret_cast<void*>(first), std::min(slice, end - first),
                  MADV_POPULATE_WRITE) != 0)
        return;
      stop_point(double(slice / sizeof(double)));
    }
  });
#endif
}

void gram_lower(const MatrixView& X, const VectorView& y, Matrix& G, Vector& g) {
  const KernelForm& form = kernel_form();
  const Index m = X.rows, p = X.cols;
  G = Matrix::Zero(p, p);
  g = Vector::Zero(p);
  if (m == 0 || p == 0) return;
  const double pd = static_cast<double>(p);
  // Chunks of at least 1024 rows (a few blocks of the kernel), at most 2^20 doubles of partial
  // results.
  const Index n = chunk_count(std::min(double(m) / 1024.0, double(Index{1} << 20) / (pd * pd)),
                              double(m) * pd * pd);
  if (n == 1) return form.gram_rows(X, y, 0, m, G.data(), g.data(), report_progress);
  require_doubles(double(n) * pd * (pd + 1.0));
  Matrix parts(p * p, n);
  Matrix gs(p, n);
  for_each_chunk(n, [&](Index c) {
    form.gram_rows(X, y, chunk_start(m, n, c), chunk_start(m, n, c + 1), parts.col(c).data(),
                   gs.col(c).data(), report_progress);
  });
  for (Index c = 0; c < n; ++c) {
    const Eigen::Map<const Matrix> part(parts.col(c).data(), p, p);
    G.triangularView<Eigen::Lower>() += part;
    g += gs.col(c);
  }
}

Matrix tall_qr(const MatrixView& X, const VectorView& y) {
  const KernelForm& form = kernel_form();
  const Index m = X.rows, c = X.cols + 1;
  const double cd = static_cast<double>(c);
  const Index n = chunk_count(double(m) / (4.0 * cd), double(m) * cd * cd);
  // The stacked factors, and per thread a block below a factor and the factorisation's copy of
  // it (blocks of rows as kernel_forms.cpp sizes them).
  const double block = std::max(double(Index{1} << 15) / cd, 4.0 * cd) + 16.0;
  const double threads = static_cast<double>(std::min(n, thread_budget()));
  require_doubles(double(n + 1) * cd * cd + threads * 2.0 * (cd + block) * cd);
  Matrix R(c, c);
  if (n == 1) {
    form.qr_rows(X, y, 0, m, R.data(), report_progress, run_unless_stopped);
    return R;
  }
  // The chunks' factors, stacked in chunk order, factored once more.
  Matrix stack(n * c, c);
  for_each_chunk(n, [&](Index k) {
    Matrix Rk(c, c);
    form.qr_rows(X, y, chunk_start(m, n, k), chunk_start(m, n, k + 1), Rk.data(),
                 report_progress, run_unless_stopped);
    stack.middleRows(k * c, c) = Rk;
  });
  const MatrixView S{stack.data(), stack.rows(), c, 1, stack.rows()};
  form.qr_rows(S, VectorView{}, 0, S.rows, R.data(), report_progress, run_unless_stopped);
  return R;
}

Index hits_of_product(const Matrix& X, const Vector& b, const Vector& y, double eps) {
  return kernel_form().hits_of_product(X.data(), X.rows(), X.cols(), b.data(), y.data(), eps);
}

Index hits_within(const double* p, const double* t, Index n, double eps) {
  return kernel_form().hits_within(p, t, n, eps);
}

}  // namespace dorv
