#pragma once

#include <Eigen/Core>

#include "model/model_description.hpp"

namespace sem {

// Expected second derivative of the ML discrepancy (not scaled by N):
// H(i, j) = trace(Sigma^-1 dSigma_i Sigma^-1 dSigma_j) + 2 dmu_i' Sigma^-1 dmu_j.
// The mean term is always present (it vanishes when nothing places a mean).
// All kNotInvertible when I - Beta or Sigma is singular by the LU rank test.
Eigen::MatrixXd ml_expected_information(const ModelDescription& description,
                                        const Eigen::Ref<const Eigen::VectorXd>& params,
                                        int n_free);

}  // namespace sem
