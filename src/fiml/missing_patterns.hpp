#pragma once

#include <string>
#include <vector>

#include <Eigen/Core>

namespace sem {

// The caller's grouping of incomplete cases into missing-data patterns.
// Pattern p observes the variables obs_indices[p], listed in the order of
// means[p] and the rows and columns of covs[p]; it holds n_obs_list[p] cases.
// The expected information needs no sample moments and leaves those empty.
struct MissingPatterns {
    std::vector<std::vector<int>> obs_indices;
    std::vector<int> n_obs_list;
    std::vector<Eigen::VectorXd> means;  // k_p each
    std::vector<Eigen::MatrixXd> covs;   // k_p x k_p each
};

// Empty when every pattern can be cut out of a p-variable model (indices in
// range, none twice in one pattern, a count that is not negative) and, with
// with_moments, its means and covs fit its index list and are finite;
// otherwise a message naming the offending argument and its bound. A
// repeated index is refused although it only makes that pattern's implied
// covariance singular: the objective's Cholesky test does not always catch
// it, and a pattern observes each variable once.
std::string missing_patterns_error(const MissingPatterns& patterns, Eigen::Index p,
                                   bool with_moments);

// Length of the longest index list; it sizes every per-pattern buffer.
Eigen::Index max_pattern_size(const std::vector<std::vector<int>>& obs_indices);

}  // namespace sem
