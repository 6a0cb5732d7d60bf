#pragma once
// The divide-and-conquer SVD, in a unit of its own: its instantiation is a third of the build.

#include "common.hpp"

namespace dorv {

// Minimum-norm least-squares solution of A x ~ b by the thin divide-and-conquer SVD of A, with
// the default rank threshold: max(1, min(m, p)) * eps * the largest singular value.
// A (m, p), b (m) -> x (p), taken over (the SVD works on them). A large SVD runs where the
// call can stop while it waits for it (run_unless_stopped): it has no stop points of its own.
Vector svd_solve(Matrix A, Vector b);

}  // namespace dorv
