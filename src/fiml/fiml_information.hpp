#pragma once

#include <Eigen/Core>

#include "fiml/missing_patterns.hpp"
#include "model/model_description.hpp"

namespace sem {

// Expected second derivative of fiml_objective (S_p = Sigma_p,
// xbar_p = mu_p) with respect to params[0 .. n_free-1]:
// I(i, j) = sum_p (n_p / N) [trace(Sigma_p^-1 dSigma_p,i Sigma_p^-1 dSigma_p,j)
//                            + 2 dmu_p,i' Sigma_p^-1 dmu_p,j].
// Unlike the objective, N counts the cases of empty patterns too. Exactly
// symmetric. All 1e10 when I - Beta or any Sigma_p fails the LU rank test.
// The means and covs of `patterns` are not read.
Eigen::MatrixXd fiml_expected_information(const ModelDescription& description,
                                          const Eigen::Ref<const Eigen::VectorXd>& params,
                                          const MissingPatterns& patterns, int n_free);

}  // namespace sem
