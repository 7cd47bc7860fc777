#pragma once

#include <Eigen/Core>

#include "model/model_description.hpp"

namespace sem {

// Central-difference derivative of the moment vector (lower triangle of
// Sigma column by column, then mu when with_mean) with respect to the first
// n_free parameters; step 1e-5, divisor 2e-5.
Eigen::MatrixXd jacobian_implied_moments(const ModelDescription& description,
                                         const Eigen::VectorXd& params, int n_free,
                                         bool with_mean);

}  // namespace sem
