#pragma once

#include <vector>

#include <Eigen/Core>

namespace sem {

// Outer estimation of a block: A = correlation weights, B = regression weights.
enum class OuterMode { A, B };

struct PlsResult {
    Eigen::MatrixXd latent_scores;   // n x J, standardised composites
    Eigen::MatrixXd outer_weights;   // P x J, raw weights of the last outer step
    Eigen::MatrixXd outer_loadings;  // P x J, every indicator against every composite
    Eigen::MatrixXd inner_paths;     // J x J, predictor by row, dependent by column
    int iterations = 0;
    bool converged = false;
};

// PLS path model with factorial inner weighting. Expects input accepted by
// pls_input_error: at least two cases, every index in 0 .. P-1 and no index
// twice within a block, modes.size() >= J and a J x J path_matrix.
// Never throws for numerical trouble: constant columns, rank deficiency and
// collinearity get the documented fallbacks, and non-finite values surface
// as NaN results with `converged` false.
PlsResult run_pls_algorithm(const Eigen::Ref<const Eigen::MatrixXd>& data,  // n x P
                            const std::vector<std::vector<int>>& blocks,    // J index lists
                            const std::vector<OuterMode>& modes,
                            const Eigen::Ref<const Eigen::MatrixXd>& path_matrix,  // J x J
                            int max_iter, double tol);

}  // namespace sem
