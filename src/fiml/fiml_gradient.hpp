#pragma once

#include <Eigen/Core>

#include "fiml/missing_patterns.hpp"
#include "model/model_description.hpp"

namespace sem {

// Derivative of fiml_objective with respect to params[0 .. n_free-1]:
// g_i = (1/N) sum_p n_p [trace(W_p dSigma_p,i) - 2 dmu_p,i' Sigma_p^-1 e_p],
// W_p = Sigma_p^-1 (Sigma_p - S_p - e_p e_p') Sigma_p^-1, N as in the
// objective. All 1e10 when I - Beta or any Sigma_p fails the LU rank test.
Eigen::VectorXd fiml_gradient(const ModelDescription& description,
                              const Eigen::Ref<const Eigen::VectorXd>& params,
                              const MissingPatterns& patterns, int n_free);

}  // namespace sem
