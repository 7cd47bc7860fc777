#pragma once

#include <Eigen/Core>

#include "model/model_description.hpp"

namespace sem {

// Score of every case (row of data, N x p) for every parameter k < n_free:
// -1/2 trace(Sigma^-1 dSigma_k) + 1/2 d' Sigma^-1 dSigma_k Sigma^-1 d
// + d' Sigma^-1 dmu_k, with d = x - centre and centre = mu when
// meanstructure_active, else the column means of data. N x n_free; all
// kNotInvertible when I - Beta or Sigma is singular by the LU rank test.
Eigen::MatrixXd ml_casewise_scores(const ModelDescription& description,
                                   const Eigen::Ref<const Eigen::MatrixXd>& data,
                                   const Eigen::Ref<const Eigen::VectorXd>& params, int n_free,
                                   bool meanstructure_active);

}  // namespace sem
