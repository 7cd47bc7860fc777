#pragma once

#include <vector>

#include <Eigen/Core>

namespace sem {

// T(i, j) = trace(X_i Y_j) for every pair, all X_i and Y_j square of one
// order. trace(X Y) = vec(X')' vec(Y), so the whole table is one matrix
// product instead of n^2 elementwise passes.
Eigen::MatrixXd pairwise_traces(const std::vector<Eigen::MatrixXd>& X,
                                const std::vector<Eigen::MatrixXd>& Y);

}  // namespace sem
