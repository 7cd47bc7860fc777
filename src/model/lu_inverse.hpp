#pragma once

#include <Eigen/Core>

namespace sem {

// Inverse by full-pivoting LU with Eigen's default rank threshold.
// `invertible` is the rank test; `inverse` is whatever the decomposition
// gives even when the test fails (callers decide what that means).
struct LuInverse {
    Eigen::MatrixXd inverse;
    bool invertible;
};

LuInverse lu_inverse(const Eigen::Ref<const Eigen::MatrixXd>& m);

// (I - Beta)^-1 by the same rule; when the test fails (or the inverse is
// not finite) `inverse` is all NaN, so moments built from it are NaN.
LuInverse structural_inverse(const Eigen::MatrixXd& Beta);

}  // namespace sem
