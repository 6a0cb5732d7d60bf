#include "svd.hpp"

#include <Eigen/SVD>
#include <algorithm>
#include <memory>
#include <new>
#include <utility>

#include "kernels.hpp"

namespace dorv {

namespace {

Vector solve_by_svd(const Matrix& A, const Vector& b) {
  const Eigen::BDCSVD<Matrix> svd(A, Eigen::ComputeThinU | Eigen::ComputeThinV);
  return svd.solve(b);
}

// A problem and its solution, which the SVD's thread owns once the call has stopped.
struct SvdProblem {
  Matrix A;
  Vector b, x;
  bool failed = false;  // out of memory

  static void solve(void* state) {
    auto& s = *static_cast<SvdProblem*>(state);
    try {
      s.x = solve_by_svd(s.A, s.b);
    } catch (const std::bad_alloc&) {
      s.failed = true;
    }
  }
  static void release(void* state) { delete static_cast<SvdProblem*>(state); }
};

}  // namespace

Vector svd_solve(Matrix A, Vector b) {
  const double m = static_cast<double>(A.rows()), p = static_cast<double>(A.cols());
  if (4.0 * m * p * std::min(m, p) < kLongStepWork) return solve_by_svd(A, b);
  auto problem =
      std::make_unique<SvdProblem>(SvdProblem{std::move(A), std::move(b), Vector(), false});
  try {
    run_unless_stopped(SvdProblem::solve, problem.get(), SvdProblem::release);
  } catch (...) {
    problem.release();  // the SVD's thread's now
    throw;
  }
  if (problem->failed) throw std::bad_alloc();
  return std::move(problem->x);
}

}  // namespace dorv
