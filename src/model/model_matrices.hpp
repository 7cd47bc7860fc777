#pragma once

#include <Eigen/Core>

#include "model/model_description.hpp"

namespace sem {

// The thirteen targets of the mappings, dense and column-major.
struct ModelMatrices {
    Eigen::MatrixXd LambdaX;            // nx x nxi
    Eigen::MatrixXd LambdaY;            // ny x neta
    Eigen::MatrixXd Beta;               // neta x neta
    Eigen::MatrixXd Gamma;              // neta x nxi
    Eigen::MatrixXd Phi;                // nxi x nxi
    Eigen::MatrixXd Psi;                // neta x neta
    Eigen::MatrixXd ThetaDelta;         // nx x nx
    Eigen::MatrixXd ThetaEpsilon;       // ny x ny
    Eigen::MatrixXd ThetaEpsilonDelta;  // ny x nx
    Eigen::VectorXd TauX;               // nx
    Eigen::VectorXd TauY;               // ny
    Eigen::VectorXd Kappa;              // nxi
    Eigen::VectorXd Alpha;              // neta

    // id must be a matrix target (0..8) or a vector target (9..12).
    Eigen::MatrixXd& matrix(int id);
    const Eigen::MatrixXd& matrix(int id) const;
    Eigen::VectorXd& vector(int id);
    const Eigen::VectorXd& vector(int id) const;

    // Every target sized from dims and zero-filled.
    static ModelMatrices zeros(const ModelDims& dims);
    void set_zero();
};

// Zero-fill, then place every mapping in insertion order (later writes win,
// nothing mirrored). with_means=false leaves the four vectors at zero.
// params must cover description.params_needed(with_means).
ModelMatrices build_model_matrices(const ModelDescription& description,
                                   const Eigen::Ref<const Eigen::VectorXd>& params,
                                   bool with_means = true);

}  // namespace sem
