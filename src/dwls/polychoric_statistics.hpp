#pragma once

#include <string>
#include <vector>

#include <Eigen/Core>

namespace sem {

// Everything a DWLS or WLSMV fit of ordinal items needs, pairs in the
// statistics order of the DWLS engine: (i, j), i > j, column j outer.
struct PolychoricStatistics {
    std::vector<Eigen::VectorXd> thresholds;  // per item, K_j each
    Eigen::VectorXd correlations;             // two-step polychoric estimates
    Eigen::VectorXd weights;                  // 1 / gamma_kk
    Eigen::MatrixXd gamma;  // acov of sqrt(N) (rho-hat - rho); empty unless asked
};

// Empty when the column is a usable item (codes 0..K, K >= 1, every
// category occupied); otherwise what is wrong, starting with `name`.
std::string ordinal_column_error(const Eigen::Ref<const Eigen::VectorXi>& column,
                                 const std::string& name);

// codes: N x p, N >= 2, p >= 2, every column passing ordinal_column_error
// (the caller's check). Pairs, and the blocks of gamma, are shared among
// n_threads threads; the results do not depend on their number.
PolychoricStatistics polychoric_statistics(const Eigen::Ref<const Eigen::MatrixXi>& codes,
                                           bool with_gamma, int n_threads);

}  // namespace sem
