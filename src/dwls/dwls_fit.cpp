#include "dwls/dwls_fit.hpp"

#include <cmath>

#include "dwls/implied_correlations.hpp"

namespace sem {

namespace {

constexpr double kStep = 1e-6;
constexpr double kTwoSteps = 2e-6;

// One evaluator and one shifted copy of params serve every column; the
// shifted entry is reset from params, so each evaluation sees exactly
// params[i] +/- 1e-6 and nothing else.
Eigen::MatrixXd central_differences(ImpliedCorrelations& corr,
                                    const Eigen::Ref<const Eigen::VectorXd>& params,
                                    Eigen::Index n_stats, int n_free) {
    Eigen::MatrixXd J(n_stats, n_free);
    Eigen::VectorXd shifted = params;
    Eigen::VectorXd minus(n_stats);
    for (int i = 0; i < n_free; ++i) {
        shifted[i] = params[i] + kStep;
        corr.evaluate(shifted, J.col(i));
        shifted[i] = params[i] - kStep;
        corr.evaluate(shifted, minus);
        shifted[i] = params[i];
        // A division, not a product with 5e5: callers reproduce this
        // column from two implied_corr calls and expect the same bits.
        J.col(i) = (J.col(i) - minus) / kTwoSteps;
    }
    return J;
}

}  // namespace

double objective_dwls(const DwlsEngine& engine, const Eigen::Ref<const Eigen::VectorXd>& params) {
    Eigen::VectorXd sigma(engine.n_stats());
    ImpliedCorrelations(engine).evaluate(params, sigma);
    if (sigma.hasNaN()) return 1e15;
    const Eigen::VectorXd& s = engine.s_vec();
    const Eigen::VectorXd& w = engine.w_inv();
    double F = 0.0;
    for (Eigen::Index k = 0; k < w.size(); ++k) {
        const double e = s[k] - sigma[k];
        F += w[k] * (e * e);
    }
    return F;
}

Eigen::MatrixXd jacobian_dwls(const DwlsEngine& engine,
                              const Eigen::Ref<const Eigen::VectorXd>& params, int n_free) {
    ImpliedCorrelations corr(engine);
    return central_differences(corr, params, engine.n_stats(), n_free);
}

Eigen::VectorXd gradient_dwls(const DwlsEngine& engine,
                              const Eigen::Ref<const Eigen::VectorXd>& params, int n_free) {
    ImpliedCorrelations corr(engine);
    Eigen::VectorXd sigma(engine.n_stats());
    corr.evaluate(params, sigma);
    const Eigen::MatrixXd J = central_differences(corr, params, engine.n_stats(), n_free);
    const Eigen::VectorXd we = engine.w_inv().cwiseProduct(engine.s_vec() - sigma);
    Eigen::VectorXd g = J.transpose() * we;
    g *= -2.0;
    return g;
}

Eigen::MatrixXd expected_hessian_dwls(const DwlsEngine& engine,
                                      const Eigen::Ref<const Eigen::VectorXd>& params,
                                      int n_free) {
    ImpliedCorrelations corr(engine);
    const Eigen::MatrixXd J = central_differences(corr, params, engine.n_stats(), n_free);
    // W is diagonal, so J' W is a column scaling of J'; for finite J this
    // equals the dense product bit for bit without an n_stats^2 matrix.
    const Eigen::MatrixXd JtW = J.transpose() * engine.w_inv().asDiagonal();
    Eigen::MatrixXd H = JtW * J;
    H *= 2.0;
    return H;
}

}  // namespace sem
