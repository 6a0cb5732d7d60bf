#include "svd.hpp"

#include <Eigen/SVD>

namespace dorv {

Vector svd_solve(const Matrix& A, const Vector& b) {
  const Eigen::BDCSVD<Matrix> svd(A, Eigen::ComputeThinU | Eigen::ComputeThinV);
  return svd.solve(b);
}

}  // namespace dorv
