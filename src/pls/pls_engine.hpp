#pragma once

#include <string>
#include <vector>

#include <Eigen/Core>

#include "pls/pls_algorithm.hpp"

namespace sem {

// Holds nothing: every estimation is a pure function of its arguments, so
// one engine may serve any number of threads at once.
class PlsEngine {
public:
    PlsResult run_algorithm(const Eigen::Ref<const Eigen::MatrixXd>& data,  // n x P
                            const std::vector<std::vector<int>>& blocks,
                            const std::vector<OuterMode>& modes,
                            const Eigen::Ref<const Eigen::MatrixXd>& path_matrix,  // J x J
                            int max_iter, double tol) const {
        return run_pls_algorithm(data, blocks, modes, path_matrix, max_iter, tol);
    }
};

// Only the exact string "A" asks for correlation weights.
OuterMode outer_mode(const std::string& mode);

// Empty when run_pls_algorithm can take these shapes, otherwise why not.
// An empty block (and so P = 0) is accepted: its composite is a column of
// zeros. A duplicate index within a block is refused because the block's
// regression would split the indicator's weight between its copies while
// only one of them is stored.
std::string pls_input_error(Eigen::Index n_cases, Eigen::Index n_indicators,
                            const std::vector<std::vector<int>>& blocks, std::size_t n_modes,
                            Eigen::Index path_rows, Eigen::Index path_cols);

}  // namespace sem
