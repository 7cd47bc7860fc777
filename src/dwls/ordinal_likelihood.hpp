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
// and y at least as long as x; N is taken from x. Each distinct cell is
// evaluated once, each corner of the threshold grid at most once.
Eigen::VectorXd bivariate_loglik(const Eigen::Ref<const Eigen::VectorXi>& x,
                                 const Eigen::Ref<const Eigen::VectorXi>& y,
                                 const Eigen::Ref<const Eigen::VectorXd>& tau_x,
                                 const Eigen::Ref<const Eigen::VectorXd>& tau_y, double rho);

// Forward differences (step eps) of each case's log-likelihood with respect
// to tau_x, then tau_y, then rho: N x (K_x + K_y + 1). The correlation step
// is clamped at 0.999 while the divisor stays eps. Each distinct cell, and
// each cell with one of its bounds moved, is evaluated once.
Eigen::MatrixXd categorical_casewise_scores(const Eigen::Ref<const Eigen::VectorXi>& x,
                                            const Eigen::Ref<const Eigen::VectorXi>& y,
                                            const Eigen::Ref<const Eigen::VectorXd>& tau_x,
                                            const Eigen::Ref<const Eigen::VectorXd>& tau_y,
                                            double rho, double eps);

// The same two results evaluated case by case (four distribution-function
// calls per cell probability). Bit-identical to the functions above, which
// fall back on them when a table has more cells than there are cases.
Eigen::VectorXd bivariate_loglik_per_case(const Eigen::Ref<const Eigen::VectorXi>& x,
                                          const Eigen::Ref<const Eigen::VectorXi>& y,
                                          const Eigen::Ref<const Eigen::VectorXd>& tau_x,
                                          const Eigen::Ref<const Eigen::VectorXd>& tau_y,
                                          double rho);
Eigen::MatrixXd categorical_casewise_scores_per_case(const Eigen::Ref<const Eigen::VectorXi>& x,
                                                     const Eigen::Ref<const Eigen::VectorXi>& y,
                                                     const Eigen::Ref<const Eigen::VectorXd>& tau_x,
                                                     const Eigen::Ref<const Eigen::VectorXd>& tau_y,
                                                     double rho, double eps);

}  // namespace sem
