#pragma once

#include <Eigen/Core>

#include "dwls/dwls_engine.hpp"

namespace sem {

// F = sum_k w_inv[k] (s_vec[k] - sigma[k])^2; 1e15 when an implied
// correlation is NaN (infinite ones are not caught).
double objective_dwls(const DwlsEngine& engine, const Eigen::Ref<const Eigen::VectorXd>& params);

// Central differences of the implied correlations in the first n_free
// parameters: absolute step 1e-6, divisor 2e-6. n_stats x n_free.
// 0 <= n_free <= params.size() is the caller's check.
Eigen::MatrixXd jacobian_dwls(const DwlsEngine& engine,
                              const Eigen::Ref<const Eigen::VectorXd>& params, int n_free);

// -2 J' (w_inv o e), the derivative of F with that J.
Eigen::VectorXd gradient_dwls(const DwlsEngine& engine,
                              const Eigen::Ref<const Eigen::VectorXd>& params, int n_free);

// Gauss-Newton information 2 J' W J, W = diag(w_inv); not symmetrised.
Eigen::MatrixXd expected_hessian_dwls(const DwlsEngine& engine,
                                      const Eigen::Ref<const Eigen::VectorXd>& params,
                                      int n_free);

}  // namespace sem
