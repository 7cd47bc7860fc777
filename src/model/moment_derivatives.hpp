#pragma once

#include <array>
#include <vector>

#include <Eigen/Core>

#include "model/model_matrices.hpp"

namespace sem {

// Derivatives of Sigma and mu with respect to params[k], k < n_free.
struct ImpliedMomentDerivatives {
    std::vector<Eigen::MatrixXd> dSigma;  // n_free matrices, p x p
    std::vector<Eigen::VectorXd> dmu;     // n_free vectors, p
};

// Which targets a parameter's indicator arrays touch.
using TargetFlags = std::array<bool, kTargetCount>;

// The free, placed mappings of every parameter index below n_free, in
// insertion order. Mappings of other indices never contribute.
std::vector<std::vector<ParameterMapping>> free_cells_by_parameter(
    const ModelDescription& description, int n_free);

// Adds 1.0 per cell into `indicators` (sized and zeroed by the caller), so a
// parameter placed twice on one cell gives 2.0; returns the touched targets.
TargetFlags add_indicators(const std::vector<ParameterMapping>& cells, ModelMatrices& indicators);

// Undoes add_indicators by zeroing only the touched cells, so one buffer
// serves every parameter without a full refill.
void clear_indicators(const std::vector<ParameterMapping>& cells, ModelMatrices& indicators);

// The product rule of Sigma and mu, with the products that do not depend on
// the parameter formed once. Model matrices are linear in the parameters, so
// the indicator arrays are their exact derivatives.
class MomentDerivativeRule {
public:
    MomentDerivativeRule(const ModelDims& dims, const ModelMatrices& m, const Eigen::MatrixXd& A,
                         const Eigen::MatrixXd& C);

    void apply(const ModelMatrices& dm, const TargetFlags& touched, Eigen::MatrixXd& dSigma,
               Eigen::VectorXd& dmu) const;

private:
    ModelDims dims_;
    const ModelMatrices& m_;
    const Eigen::MatrixXd& A_;
    Eigen::MatrixXd LA_, ACAtLYt_, CAtLYt_, LAC_, LACAt_;  // y-y block
    Eigen::MatrixXd AGPLXt_, GPLXt_, PLXt_, LAG_, LAGP_;   // y-x block
    Eigen::MatrixXd LXP_;                                  // x-x block
    Eigen::MatrixXd PGt_, GP_;                             // dC
    Eigen::VectorXd nu_, Anu_;                             // means
    // Per-parameter scratch reused across calls to apply(); one rule serves
    // one call on one thread.
    mutable Eigen::MatrixXd dA_, dC_, tmp_;
    mutable Eigen::VectorXd dnu_;
};

// All n_free derivative pairs at once. The caller has checked that
// I - Beta is invertible; A and C are the ones it computed.
ImpliedMomentDerivatives implied_moment_derivatives(const ModelDescription& description,
                                                    const ModelMatrices& m,
                                                    const Eigen::MatrixXd& A,
                                                    const Eigen::MatrixXd& C, int n_free);

}  // namespace sem
