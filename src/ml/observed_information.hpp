#pragma once

#include <Eigen/Core>

#include "ml/ml_objective.hpp"
#include "model/model_description.hpp"

namespace sem {

// Exact second derivative of the ML discrepancy (not scaled by N); the
// second derivatives of Sigma and mu come from evaluating the model in
// hyper-dual arithmetic, one pair of parameters at a time. Mean terms only
// when `mean` is given. All kNotInvertible when I - Beta or Sigma is
// singular by the LU rank test.
Eigen::MatrixXd ml_observed_information(const ModelDescription& description,
                                        const Eigen::Ref<const Eigen::VectorXd>& params,
                                        const Eigen::Ref<const Eigen::MatrixXd>& S,
                                        const OptionalMean& mean, int n_free);

}  // namespace sem
