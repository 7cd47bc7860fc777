#pragma once

#include <Eigen/Core>

#include "model/implied_moments.hpp"
#include "model/model_matrices.hpp"

namespace sem {

// Fill value of every element of an analytic derivative result when
// I - Beta or Sigma fails the full-pivoting LU rank test.
constexpr double kNotInvertible = 1e10;

// Everything the analytic ML derivatives need at one parameter vector.
struct ModelPoint {
    ModelMatrices m;
    Eigen::MatrixXd A;         // (I - Beta)^-1, neta x neta
    ImpliedMoments moments;    // Sigma p x p, mu p
    Eigen::MatrixXd SigmaInv;  // p x p
    bool invertible = false;   // I - Beta and Sigma both passed the rank test
};

// Builds the model at `params` and inverts I - Beta and Sigma, both with
// the outcome of the FullPivLU rank test.
// When `invertible` is false the other fields are not to be used.
ModelPoint invert_model_point(const ModelDescription& description,
                              const Eigen::Ref<const Eigen::VectorXd>& params, bool with_means);

}  // namespace sem
