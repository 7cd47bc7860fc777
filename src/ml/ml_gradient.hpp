#pragma once

#include <Eigen/Core>

#include "ml/ml_objective.hpp"
#include "model/model_description.hpp"

namespace sem {

// dF/dparams[k] for k < n_free: trace(W dSigma_k) - 2 dmu_k' Sigma^-1 d with
// W = Sigma^-1 (Sigma - S - d d') Sigma^-1 and d = mean - mu (mean terms only
// when `mean` is given). All kNotInvertible when I - Beta or Sigma is
// singular by the LU rank test. cache: the sample covariance cache when it
// holds this S (its symmetric part and factor are then reused), else null.
Eigen::VectorXd ml_gradient(const ModelDescription& description,
                            const Eigen::Ref<const Eigen::VectorXd>& params,
                            const Eigen::Ref<const Eigen::MatrixXd>& S, const OptionalMean& mean,
                            int n_free, const SampleCovCache* cache = nullptr);

}  // namespace sem
