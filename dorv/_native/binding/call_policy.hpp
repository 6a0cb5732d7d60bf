#pragma once
// How a call runs: without the interpreter lock and stoppable by a signal handler once its
// estimated work is large enough. The estimates stay beside the registrations they describe.

#include <pybind11/pybind11.h>

#include <optional>

#include "common.hpp"

namespace dorv::binding {

namespace py = pybind11;

// Long calls run their native work without the interpreter lock, so that other Python threads
// run meanwhile, and stop when a signal handler raises. Arguments are converted before and
// results built after, with the lock held. Below kReleaseWork units (stop_point's rough count of
// arithmetic operations) a call keeps the lock: a release costs little, but taking the lock back
// from a busy thread can cost milliseconds.
inline constexpr double kReleaseWork = 1 << 15;

// The stop check of the native loops: runs the pending signal handlers, with the lock held, and
// keeps the exception that one of them raised. Only the main thread runs signal handlers, so
// only there is the check installed.
class SignalCheck final : public StopSource {
 public:
  bool requested() override {
    const py::gil_scoped_acquire locked;
    if (PyErr_CheckSignals() == 0) return false;
    raised_.emplace();  // fetches the handler's exception
    return true;
  }

  // Throws the handler's exception, if one stopped the call.
  void raise_if_stopped() const {
    if (raised_) throw *raised_;
  }

 private:
  std::optional<py::error_already_set> raised_;
};

// Whether the calling thread is the interpreter's main thread, the one that runs signal
// handlers: asked of the threading module, since the C API keeps its own test private (and
// from 3.13 out of its headers). After a fork the forking thread is the child's main thread.
inline bool on_main_thread() {
  const py::object main = py::module_::import("threading").attr("main_thread")();
  return main.attr("ident").cast<unsigned long>() == PyThread_get_thread_ident();
}

template <class Run>
auto released(double work, const Run& run) -> decltype(run()) {
  if (!(work >= kReleaseWork)) return run();
  SignalCheck check;
  const StopScope scope(on_main_thread() ? &check : nullptr);
  try {
    const py::gil_scoped_release unlocked;
    return run();
  } catch (...) {
    check.raise_if_stopped();  // the handler's exception, whatever the work threw on its way out
    throw;
  }
}

// A native operation as a binding that runs it through `released`, with work(args...) units.
template <class Result, class... Args, class Work>
auto unlocked(Result (*op)(Args...), Work work) {
  return [op, work](Args... args) {
    return released(work(args...), [&] { return op(args...); });
  };
}

inline double size(const Matrix& A) { return static_cast<double>(A.size()); }
inline double size(const Vector& v) { return static_cast<double>(v.size()); }
inline double size(const MatrixView& A) { return static_cast<double>(A.rows) * static_cast<double>(A.cols); }
inline double size(const VectorView& v) { return static_cast<double>(v.size); }

}  // namespace dorv::binding
