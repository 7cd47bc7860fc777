#pragma once

#include <Eigen/Core>

#include "dwls/dwls_engine.hpp"

namespace sem {

// Implied correlations of one engine at a sequence of parameter vectors.
// The numerical derivatives evaluate 2 n_free times per request, so the
// covariance and scaling buffers are kept from one call to the next.
class ImpliedCorrelations {
public:
    explicit ImpliedCorrelations(const DwlsEngine& engine);

    // Writes the n_stats correlations below the diagonal of the
    // standardised implied covariance, column by column. A non-positive
    // implied variance gives non-finite correlations, not an error.
    void evaluate(const Eigen::Ref<const Eigen::VectorXd>& params,
                  Eigen::Ref<Eigen::VectorXd> out);

private:
    const DwlsEngine& engine_;
    Eigen::MatrixXd Sigma_;  // p x p, y-variables first
    Eigen::VectorXd d_;      // p, 1 / sqrt(diag Sigma)
};

Eigen::VectorXd implied_corr(const DwlsEngine& engine,
                             const Eigen::Ref<const Eigen::VectorXd>& params);

}  // namespace sem
