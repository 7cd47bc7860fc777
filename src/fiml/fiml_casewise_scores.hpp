#pragma once

#include <Eigen/Core>

#include "model/model_description.hpp"

namespace sem {

// Score of every case (row of data, N x p, NaN for a missing value) for
// every parameter k < n_free, over the variables the case observes:
// -1/2 trace(Sigma_o^-1 dSigma_o,k) + 1/2 d' Sigma_o^-1 dSigma_o,k Sigma_o^-1 d
// + d' Sigma_o^-1 dmu_o,k with d = x_o - mu_o, the casewise scores centred on
// mu restricted to the observed set o. A case that observes nothing scores
// 0. N x n_free; all 1e10 when I - Beta or the covariance matrix of any
// observed set fails the LU rank test. Non-NaN values must be finite (the
// caller's check).
Eigen::MatrixXd fiml_casewise_scores(const ModelDescription& description,
                                     const Eigen::Ref<const Eigen::MatrixXd>& data,
                                     const Eigen::Ref<const Eigen::VectorXd>& params, int n_free);

}  // namespace sem
