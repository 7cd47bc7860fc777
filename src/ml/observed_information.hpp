#pragma once

#include <Eigen/Core>

#include "ml/ml_objective.hpp"
#include "model/model_description.hpp"

namespace sem {

// Exact second derivative of the ML discrepancy (not scaled by N), from the
// low-rank terms of the moment derivatives and one forward-over-reverse
// sweep for the second derivatives of Sigma and mu. Mean terms only when
// `mean` is given. All kNotInvertible when I - Beta or Sigma is singular by
// the LU rank test.
Eigen::MatrixXd ml_observed_information(const ModelDescription& description,
                                        const Eigen::Ref<const Eigen::VectorXd>& params,
                                        const Eigen::Ref<const Eigen::MatrixXd>& S,
                                        const OptionalMean& mean, int n_free);

}  // namespace sem
