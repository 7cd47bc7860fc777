#pragma once

#include <vector>

#include <Eigen/Core>

namespace sem {

// The cases of a data matrix (N x p, NaN for a missing value) grouped by the
// set of variables they observe, so that each covariance submatrix is
// inverted once however many cases share it.
struct CasePatterns {
    std::vector<std::vector<int>> obs_indices;  // ascending; in order of first appearance
    std::vector<std::vector<Eigen::Index>> rows;  // ascending, per pattern
};

// A row with no observed value forms a pattern with an empty index list.
CasePatterns group_cases(const Eigen::Ref<const Eigen::MatrixXd>& data);

}  // namespace sem
