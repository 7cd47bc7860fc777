#pragma once

#include <Eigen/Core>

#include "ml/ml_objective.hpp"
#include "model/model_description.hpp"

namespace sem {

// dF/dparams[k] for k < n_free: trace(W dSigma_k) - 2 dmu_k' Sigma^-1 d with
// W = Sigma^-1 (Sigma - S - d d') Sigma^-1 and d = mean - mu (mean terms only
// when `mean` is given). All kNotInvertible when I - Beta or Sigma is
// singular by the LU rank test. S_factor: the lower Cholesky factor of
// (S + S') / 2 when the caller has it (cached_sample_factor), else null.
Eigen::VectorXd ml_gradient(const ModelDescription& description,
                            const Eigen::Ref<const Eigen::VectorXd>& params,
                            const Eigen::Ref<const Eigen::MatrixXd>& S, const OptionalMean& mean,
                            int n_free, const Eigen::MatrixXd* S_factor = nullptr);

}  // namespace sem
