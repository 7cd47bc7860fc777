#pragma once

#include <Eigen/Core>

#include "kernels/ml_kernels.hpp"

namespace sem {

// A B and A' B in the kernel selected for this CPU: the tall, thin products
// (p rows, a few columns) that Eigen would otherwise run in baseline
// instructions.
inline Eigen::MatrixXd kernel_product(const Eigen::MatrixXd& A, const Eigen::MatrixXd& B) {
    Eigen::MatrixXd C(A.rows(), B.cols());
    if (A.cols() == 0) {
        C.setZero();
        return C;
    }
    ml_kernels().product(static_cast<int>(A.rows()), static_cast<int>(A.cols()),
                         static_cast<int>(B.cols()), A.data(), static_cast<int>(A.rows()),
                         B.data(), C.data(), static_cast<int>(A.rows()));
    return C;
}

inline Eigen::MatrixXd kernel_product_tn(const Eigen::MatrixXd& A, const Eigen::MatrixXd& B) {
    const Eigen::MatrixXd At = A.transpose();
    return kernel_product(At, B);
}

}  // namespace sem
