#include "model/lu_inverse.hpp"

#include <Eigen/LU>

namespace sem {

LuInverse lu_inverse(const Eigen::Ref<const Eigen::MatrixXd>& m) {
    // A 0 x 0 matrix is trivially invertible; the decomposition would
    // otherwise take the largest pivot of an empty diagonal.
    if (m.rows() == 0) return {Eigen::MatrixXd(0, 0), true};
    Eigen::FullPivLU<Eigen::MatrixXd> lu(m);
    return {lu.inverse(), lu.isInvertible()};
}

LuInverse structural_inverse(const Eigen::MatrixXd& Beta) {
    const Eigen::Index n = Beta.rows();
    return lu_inverse(Eigen::MatrixXd::Identity(n, n) - Beta);
}

}  // namespace sem
