#include "ml/observed_information.hpp"

#include <vector>

#include "ml/hyper_dual.hpp"
#include "ml/model_point.hpp"
#include "model/moment_derivatives.hpp"

namespace sem {

namespace {

// The indicator arrays of every parameter below n_free, with the targets
// each one touches, built in one pass so the pair loop only reads them.
struct IndicatorArrays {
    std::vector<ModelMatrices> d;
    std::vector<TargetFlags> touched;
};

IndicatorArrays indicator_arrays(const ModelDescription& description, int n_free) {
    IndicatorArrays out;
    const auto cells = free_cells_by_parameter(description, n_free);
    out.d.assign(cells.size(), ModelMatrices::zeros(description.dims()));
    out.touched.resize(cells.size());
    for (std::size_t k = 0; k < cells.size(); ++k) {
        out.touched[k] = add_indicators(cells[k], out.d[k]);
    }
    return out;
}

// The model of Sigma and mu in hyper-dual form. The buffers live across
// pairs, so only the first evaluation allocates.
class HyperDualModel {
public:
    HyperDualModel(const ModelDims& dims, const ModelMatrices& m, const Eigen::MatrixXd& A,
                   bool with_means)
        : dims_(dims),
          m_(m),
          A_(A),
          IminusBeta_(Eigen::MatrixXd::Identity(dims.neta, dims.neta) - m.Beta),
          with_means_(with_means) {}

    // Second derivatives for parameters a (D1) and b (D2): Sigma_ab (p x p)
    // and, when with_means, mu_ab (p).
    void evaluate(const ModelMatrices& da, const TargetFlags& ta, const ModelMatrices& db,
                  const TargetFlags& tb, Eigen::MatrixXd& Sigma_ab, Eigen::VectorXd& mu_ab) {
        auto seed_target = [&](int id, HyperDualMatrix& out) {
            if (is_vector_target(id)) {
                seed(m_.vector(id), da.vector(id), ta[id], db.vector(id), tb[id], out);
            } else {
                seed(m_.matrix(id), da.matrix(id), ta[id], db.matrix(id), tb[id], out);
            }
        };
        seed_target(LambdaY, LY_);
        seed_target(LambdaX, LX_);
        seed_target(Gamma, G_);
        seed_target(Phi, Ph_);
        seed_target(Psi, Ps_);
        seed_target(ThetaEpsilon, TE_);
        seed_target(ThetaDelta, TD_);
        seed_target(ThetaEpsilonDelta, TED_);

        // I - Beta carries -dBeta; its inverse is A with the inverse rule.
        seed(IminusBeta_, -da.Beta, ta[Beta], -db.Beta, tb[Beta], IB_);
        structural_inverse(A_, IB_, Ahd_);

        transpose(Ahd_, At_);
        transpose(G_, Gt_);
        transpose(LY_, LYt_);
        transpose(LX_, LXt_);

        // C = (Gamma Phi) Gamma' + Psi
        multiply(G_, Ph_, GP_);
        multiply(GP_, Gt_, t1_);
        add(t1_, Ps_, C_);

        // Syy = (((LambdaY A) C) A') LambdaY' + ThetaEpsilon
        multiply(LY_, Ahd_, LYA_);
        multiply(LYA_, C_, t1_);
        multiply(t1_, At_, t2_);
        multiply(t2_, LYt_, t1_);
        add(t1_, TE_, Syy_);

        // Syx = (((LambdaY A) Gamma) Phi) LambdaX' + ThetaEpsilonDelta
        multiply(LYA_, G_, t1_);
        multiply(t1_, Ph_, t2_);
        multiply(t2_, LXt_, t1_);
        add(t1_, TED_, Syx_);

        // Sxx = (LambdaX Phi) LambdaX' + ThetaDelta
        multiply(LX_, Ph_, t1_);
        multiply(t1_, LXt_, t2_);
        add(t2_, TD_, Sxx_);

        const Eigen::Index ny = dims_.ny, nx = dims_.nx, p = dims_.n_observed();
        Sigma_ab.resize(p, p);
        second_derivative(Syy_, Sigma_ab.topLeftCorner(ny, ny));
        second_derivative(Syx_, Sigma_ab.topRightCorner(ny, nx));
        Sigma_ab.bottomLeftCorner(nx, ny) = Sigma_ab.topRightCorner(ny, nx).transpose();
        second_derivative(Sxx_, Sigma_ab.bottomRightCorner(nx, nx));

        mu_ab.setZero(p);
        if (!with_means_) return;
        seed_target(TauY, TY_);
        seed_target(TauX, TX_);
        seed_target(Kappa, K_);
        seed_target(Alpha, Al_);
        // mu_y = TauY + (LambdaY A)(Alpha + Gamma Kappa); mu_x = TauX + LambdaX Kappa
        multiply(G_, K_, t1_);
        add(Al_, t1_, t2_);
        multiply(LYA_, t2_, t1_);
        add(TY_, t1_, t2_);
        second_derivative(t2_, mu_ab.head(ny));
        multiply(LX_, K_, t1_);
        add(TX_, t1_, t2_);
        second_derivative(t2_, mu_ab.tail(nx));
    }

private:
    template <typename Block>
    static void second_derivative(const HyperDualMatrix& X, Block&& out) {
        if (X.has_d12) {
            out = X.D12;
        } else {
            out.setZero();
        }
    }

    ModelDims dims_;
    const ModelMatrices& m_;
    const Eigen::MatrixXd& A_;
    Eigen::MatrixXd IminusBeta_;
    bool with_means_;
    HyperDualMatrix LY_, LX_, G_, Ph_, Ps_, TE_, TD_, TED_, TY_, TX_, K_, Al_;
    HyperDualMatrix IB_, Ahd_, At_, Gt_, LYt_, LXt_;
    HyperDualMatrix GP_, C_, LYA_, Syy_, Syx_, Sxx_;
    HyperDualMatrix t1_, t2_;  // intermediate products
};

}  // namespace

Eigen::MatrixXd ml_observed_information(const ModelDescription& description,
                                        const Eigen::Ref<const Eigen::VectorXd>& params,
                                        const Eigen::Ref<const Eigen::MatrixXd>& S,
                                        const OptionalMean& mean, int n_free) {
    const bool with_means = mean.has_value();
    const ModelPoint pt = invert_model_point(description, params, with_means);
    if (!pt.invertible) return Eigen::MatrixXd::Constant(n_free, n_free, kNotInvertible);
    const Eigen::MatrixXd& SigmaInv = pt.SigmaInv;
    const Eigen::Index p = SigmaInv.rows();

    // W = Sigma^-1 - Sigma^-1 Q Sigma^-1 with Q = S + d d'; vl' = d' Sigma^-1.
    Eigen::MatrixXd Q = S;
    Eigen::VectorXd vl = Eigen::VectorXd::Zero(p);
    if (with_means) {
        const Eigen::VectorXd d = *mean - pt.moments.mu;
        Q.noalias() += d * d.transpose();
        vl.noalias() = SigmaInv.transpose() * d;
    }
    const Eigen::MatrixXd W = SigmaInv - SigmaInv * Q * SigmaInv;
    const Eigen::MatrixXd Wt = W.transpose();

    const IndicatorArrays ind = indicator_arrays(description, n_free);
    const MomentDerivativeRule rule(description.dims(), pt.m, pt.A, pt.C);
    std::vector<Eigen::MatrixXd> dSigma(n_free);
    std::vector<Eigen::VectorXd> dmu(n_free);
    // Traces of products as elementwise sums: trace(X Y) = sum(X .* Y').
    std::vector<Eigen::MatrixXd> P(n_free), Pt(n_free), R(n_free);  // Sigma^-1 dSigma, W dSigma
    std::vector<Eigen::VectorXd> u(n_free), w(n_free);  // Sigma^-1 dmu, dSigma' vl
    for (int k = 0; k < n_free; ++k) {
        rule.apply(ind.d[k], ind.touched[k], dSigma[k], dmu[k]);
        P[k].noalias() = SigmaInv * dSigma[k];
        Pt[k] = P[k].transpose();
        R[k].noalias() = W * dSigma[k];
        if (with_means) {
            u[k].noalias() = SigmaInv * dmu[k];
            w[k].noalias() = dSigma[k].transpose() * vl;
        }
    }

    HyperDualModel model(description.dims(), pt.m, pt.A, with_means);
    Eigen::MatrixXd Sigma_ij;
    Eigen::VectorXd mu_ij;
    Eigen::MatrixXd H(n_free, n_free);
    for (int j = 0; j < n_free; ++j) {
        for (int i = j; i < n_free; ++i) {
            model.evaluate(ind.d[j], ind.touched[j], ind.d[i], ind.touched[i], Sigma_ij, mu_ij);
            const double t1 = (Wt.array() * Sigma_ij.array()).sum();
            const double t2 = (P[i].array() * Pt[j].array()).sum();
            const double t3 = (R[i].array() * Pt[j].array()).sum();
            double h = -2.0 * t3 + t2 + t1;
            if (with_means) {
                const double m1 = 2.0 * dmu[j].dot(u[i]);
                const double m2 = 2.0 * (w[j].dot(u[i]) + w[i].dot(u[j]));
                const double m3 = -2.0 * vl.dot(mu_ij);
                h += m1 + m2 + m3;
            }
            H(j, i) = h;
            H(i, j) = h;
        }
    }
    return H;
}

}  // namespace sem
