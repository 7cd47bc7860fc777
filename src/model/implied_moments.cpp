#include "model/implied_moments.hpp"

#include "kernels/ml_kernels.hpp"
#include "model/lu_inverse.hpp"

namespace sem {

Eigen::MatrixXd latent_covariance(const ModelMatrices& m) {
    return m.Gamma * m.Phi * m.Gamma.transpose() + m.Psi;
}

namespace {

// out = left right' (the last product of each block, the bulk of the work)
// in the selected kernel; the association order is that of the formulas.
void times_transpose(const Eigen::MatrixXd& left, const Eigen::MatrixXd& right,
                     Eigen::Block<Eigen::MatrixXd> out) {
    const Eigen::MatrixXd rt = right.transpose();
    ml_kernels().product(static_cast<int>(left.rows()), static_cast<int>(left.cols()),
                         static_cast<int>(rt.cols()), left.data(), static_cast<int>(left.rows()),
                         rt.data(), out.data(), static_cast<int>(out.outerStride()));
}

}  // namespace

Eigen::MatrixXd implied_sigma(const ModelDims& d, const ModelMatrices& m,
                              const Eigen::MatrixXd& A, const Eigen::MatrixXd& C) {
    const Eigen::Index ny = d.ny, nx = d.nx, p = d.n_observed();
    Eigen::MatrixXd Sigma(p, p);
    const Eigen::MatrixXd LYA = m.LambdaY * A;
    times_transpose(LYA * C * A.transpose(), m.LambdaY, Sigma.topLeftCorner(ny, ny));
    Sigma.topLeftCorner(ny, ny) += m.ThetaEpsilon;
    if (ny > 0 && nx > 0) {
        times_transpose(LYA * m.Gamma * m.Phi, m.LambdaX, Sigma.topRightCorner(ny, nx));
        Sigma.topRightCorner(ny, nx) += m.ThetaEpsilonDelta;
        Sigma.bottomLeftCorner(nx, ny) = Sigma.topRightCorner(ny, nx).transpose();
    }
    times_transpose(m.LambdaX * m.Phi, m.LambdaX, Sigma.bottomRightCorner(nx, nx));
    Sigma.bottomRightCorner(nx, nx) += m.ThetaDelta;
    return Sigma;
}

Eigen::VectorXd implied_mu(const ModelDims& d, const ModelMatrices& m, const Eigen::MatrixXd& A) {
    Eigen::VectorXd mu(d.n_observed());
    mu.head(d.ny) = m.TauY + m.LambdaY * A * (m.Alpha + m.Gamma * m.Kappa);
    mu.tail(d.nx) = m.TauX + m.LambdaX * m.Kappa;
    return mu;
}

ImpliedMoments implied_moments(const ModelDims& dims, const ModelMatrices& m,
                               const Eigen::MatrixXd& A) {
    return {implied_sigma(dims, m, A, latent_covariance(m)), implied_mu(dims, m, A)};
}

ImpliedMoments implied_moments(const ModelDescription& description,
                               const Eigen::Ref<const Eigen::VectorXd>& params) {
    const ModelMatrices m = build_model_matrices(description, params);
    return implied_moments(description.dims(), m, structural_inverse(m.Beta).inverse);
}

ModelAtParams model_at(const ModelDescription& description,
                       const Eigen::Ref<const Eigen::VectorXd>& params, bool with_means) {
    ModelAtParams pt;
    pt.m = build_model_matrices(description, params, with_means);
    LuInverse a = structural_inverse(pt.m.Beta);
    if (!a.invertible) return pt;
    pt.A = std::move(a.inverse);
    pt.moments = implied_moments(description.dims(), pt.m, pt.A);
    pt.invertible = true;
    return pt;
}

Eigen::VectorXd moment_vector(const ImpliedMoments& moments, bool with_mean) {
    const Eigen::Index p = moments.Sigma.rows();
    Eigen::VectorXd v(p * (p + 1) / 2 + (with_mean ? p : 0));
    Eigen::Index r = 0;
    for (Eigen::Index j = 0; j < p; ++j) {
        const Eigen::Index len = p - j;
        v.segment(r, len) = moments.Sigma.col(j).tail(len);
        r += len;
    }
    if (with_mean) v.tail(p) = moments.mu;
    return v;
}

}  // namespace sem
