#include "model/lu_inverse.hpp"

#include <limits>

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
    LuInverse a = lu_inverse(Eigen::MatrixXd::Identity(n, n) - Beta);
    // The decomposition drops a direction whose pivot is zero, NaN or
    // infinite and inverts the rest, so its "inverse" would give finite
    // moments in which a latent variable silently lost its variance.
    // Callers that use the inverse without the rank test get NaN instead.
    if (!a.invertible || !a.inverse.allFinite()) {
        a.invertible = false;
        a.inverse.setConstant(std::numeric_limits<double>::quiet_NaN());
    }
    return a;
}

}  // namespace sem
