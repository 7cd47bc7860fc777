#pragma once

#include <Eigen/Core>

#include "model/model_matrices.hpp"

namespace sem {

struct ImpliedMoments {
    Eigen::MatrixXd Sigma;  // p x p, y-variables first, then x
    Eigen::VectorXd mu;     // p
};

// C = Gamma Phi Gamma' + Psi, the covariance of eta before the feedback.
Eigen::MatrixXd latent_covariance(const ModelMatrices& m);

// Sigma and mu from the model matrices and A = (I - Beta)^-1.
// The off-diagonal blocks are exact transposes; the diagonal blocks are
// symmetric only when the covariance matrices were filled symmetrically.
ImpliedMoments implied_moments(const ModelDims& dims, const ModelMatrices& m,
                               const Eigen::MatrixXd& A);

Eigen::MatrixXd implied_sigma(const ModelDims& dims, const ModelMatrices& m,
                              const Eigen::MatrixXd& A, const Eigen::MatrixXd& C);
Eigen::VectorXd implied_mu(const ModelDims& dims, const ModelMatrices& m,
                           const Eigen::MatrixXd& A);

// Builds the matrices and inverts I - Beta without a rank test, as the
// plain moment evaluation does; the sentinel checks live in the callers.
ImpliedMoments implied_moments(const ModelDescription& description,
                               const Eigen::Ref<const Eigen::VectorXd>& params);

// The model at `params` with A = (I - Beta)^-1 by the rank test and its
// implied moments; when `invertible` is false only `m` is set.
struct ModelAtParams {
    ModelMatrices m;
    Eigen::MatrixXd A;
    ImpliedMoments moments;
    bool invertible = false;
};
ModelAtParams model_at(const ModelDescription& description,
                       const Eigen::Ref<const Eigen::VectorXd>& params, bool with_means = true);

// Lower triangle of Sigma column by column, then mu when with_mean.
Eigen::VectorXd moment_vector(const ImpliedMoments& moments, bool with_mean);

}  // namespace sem
