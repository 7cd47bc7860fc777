#pragma once

#include <Eigen/Core>

#include "fiml/missing_patterns.hpp"
#include "model/model_description.hpp"

namespace sem {

// Exact second derivative of fiml_objective with respect to
// params[0 .. n_free-1]: the case-weighted mean, over the patterns that
// observe something (N as in the objective), of the observed information of
// each pattern's discrepancy with its mean term. Exactly symmetric. All
// 1e10 when I - Beta or any Sigma_p fails the LU rank test; all NaN (0/0,
// as the gradient) when no pattern observes anything.
Eigen::MatrixXd fiml_observed_information(const ModelDescription& description,
                                          const Eigen::Ref<const Eigen::VectorXd>& params,
                                          const MissingPatterns& patterns, int n_free);

}  // namespace sem
