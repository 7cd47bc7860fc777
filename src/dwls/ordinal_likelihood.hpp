#pragma once

#include <string>

#include <Eigen/Core>

namespace sem {

// Empty when every code lies in 0..n_thresholds (the categories a variable
// with that many thresholds has), otherwise names the first bad case.
std::string category_error(const char* name, const Eigen::Ref<const Eigen::VectorXi>& codes,
                           const char* tau_name, Eigen::Index n_thresholds);

// ln P(case k's cell) under the bivariate ordinal probit: categories c of x
// and y are the intervals (tau[c-1], tau[c]] of a standard normal pair with
// correlation rho, tau[-1] = -inf and tau[K] = +inf. Codes must be in range
// and y at least as long as x; N is taken from x.
Eigen::VectorXd bivariate_loglik(const Eigen::Ref<const Eigen::VectorXi>& x,
                                 const Eigen::Ref<const Eigen::VectorXi>& y,
                                 const Eigen::Ref<const Eigen::VectorXd>& tau_x,
                                 const Eigen::Ref<const Eigen::VectorXd>& tau_y, double rho);

// Forward differences (step eps) of each case's log-likelihood with respect
// to tau_x, then tau_y, then rho: N x (K_x + K_y + 1). The correlation step
// is clamped at 0.999 while the divisor stays eps.
Eigen::MatrixXd categorical_casewise_scores(const Eigen::Ref<const Eigen::VectorXi>& x,
                                            const Eigen::Ref<const Eigen::VectorXi>& y,
                                            const Eigen::Ref<const Eigen::VectorXd>& tau_x,
                                            const Eigen::Ref<const Eigen::VectorXd>& tau_y,
                                            double rho, double eps);

}  // namespace sem
