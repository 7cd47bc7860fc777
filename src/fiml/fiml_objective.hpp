#pragma once

#include <Eigen/Core>

#include "fiml/missing_patterns.hpp"
#include "model/model_description.hpp"

namespace sem {

// (1/N) sum_p n_p [log|Sigma_p| + trace(S_p Sigma_p^-1) + e_p' Sigma_p^-1 e_p],
// e_p = xbar_p - mu_p, over the patterns that observe something (only their
// cases enter N; no pattern at all gives 0/0). 1e15 as soon as a Sigma_p is
// not positive definite. The mean term is always included.
double fiml_objective(const ModelDescription& description,
                      const Eigen::Ref<const Eigen::VectorXd>& params,
                      const MissingPatterns& patterns);

}  // namespace sem
