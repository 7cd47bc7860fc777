#pragma once

#include <vector>

#include <Eigen/Core>

#include "dwls/dwls_engine.hpp"
#include "model/model_matrices.hpp"

namespace sem {

// The model matrices with the residual variance of every ordinal indicator
// set so that its latent response has unit variance (floored at 1e-5),
// and the explained covariance blocks that rule needs.
struct UnitVarianceModel {
    ModelMatrices m;      // identifiers 0-8 only; mean vectors stay zero
    Eigen::MatrixXd LYA;  // ny x neta, LambdaY (I - Beta)^-1
    Eigen::MatrixXd Syy;  // ny x ny, LambdaY A C A' LambdaY'
    Eigen::MatrixXd Sxx;  // nx x nx, LambdaX Phi LambdaX'
};

// params must cover model().params_needed(false). A singular I - Beta
// makes every block that reads (I - Beta)^-1 NaN.
UnitVarianceModel unit_variance_model(const DwlsEngine& engine,
                                      const Eigen::Ref<const Eigen::VectorXd>& params);

// Diagonal of ThetaEpsilon, then of ThetaDelta, as the fit uses them.
Eigen::VectorXd get_diagonal_residuals(const DwlsEngine& engine,
                                       const Eigen::Ref<const Eigen::VectorXd>& params);

}  // namespace sem
