#include "ml/observed_information.hpp"

#include <vector>

#include "ml/hyper_dual.hpp"
#include "ml/model_point.hpp"
#include "ml/pairwise_traces.hpp"
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
// pairs, so only the first evaluation allocates; the values never change and
// D1 changes only with parameter a, so neither is recomputed needlessly.
class HyperDualModel {
public:
    HyperDualModel(const ModelDims& dims, const ModelMatrices& m, const Eigen::MatrixXd& A,
                   bool with_means)
        : dims_(dims),
          m_(m),
          A_(A),
          IminusBeta_(Eigen::MatrixXd::Identity(dims.neta, dims.neta) - m.Beta),
          with_means_(with_means) {}

    // Which second derivatives the last evaluation found non-zero.
    struct NonZero {
        bool Sigma;
        bool mu;
    };

    // Parameter a of the following evaluations (D1).
    void set_first(const ModelMatrices& da, const TargetFlags& ta) {
        da_ = &da;
        ta_ = &ta;
        d1_ready_ = false;
    }

    // Second derivatives with respect to parameter a and parameter b (D2):
    // Sigma_ab (p x p) and, when with_means, mu_ab (p). An output reported
    // zero is left unwritten.
    NonZero evaluate(const ModelMatrices& db, const TargetFlags& tb, Eigen::MatrixXd& Sigma_ab,
                     Eigen::VectorXd& mu_ab) {
        const Reuse r = !values_ready_ ? Reuse::nothing
                        : d1_ready_    ? Reuse::value_and_d1
                                       : Reuse::value;
        const ModelMatrices& da = *da_;
        const TargetFlags& ta = *ta_;
        auto seed_target = [&](int id, HyperDualMatrix& out) {
            if (is_vector_target(id)) {
                seed(m_.vector(id), da.vector(id), ta[id], db.vector(id), tb[id], out, r);
            } else {
                seed(m_.matrix(id), da.matrix(id), ta[id], db.matrix(id), tb[id], out, r);
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
        seed(IminusBeta_, -da.Beta, ta[Beta], -db.Beta, tb[Beta], IB_, r);
        structural_inverse(A_, IB_, Ahd_, r);

        transpose(Ahd_, At_, r);
        transpose(G_, Gt_, r);
        transpose(LY_, LYt_, r);
        transpose(LX_, LXt_, r);

        // C = (Gamma Phi) Gamma' + Psi
        multiply(G_, Ph_, GP_, r);
        multiply(GP_, Gt_, GPGt_, r);
        add(GPGt_, Ps_, C_, r);

        // Syy = (((LambdaY A) C) A') LambdaY' + ThetaEpsilon
        multiply(LY_, Ahd_, LYA_, r);
        multiply(LYA_, C_, LYAC_, r);
        multiply(LYAC_, At_, LYACAt_, r);
        multiply(LYACAt_, LYt_, LYACAtLYt_, r);
        add(LYACAtLYt_, TE_, Syy_, r);

        // Syx = (((LambdaY A) Gamma) Phi) LambdaX' + ThetaEpsilonDelta
        multiply(LYA_, G_, LYAG_, r);
        multiply(LYAG_, Ph_, LYAGP_, r);
        multiply(LYAGP_, LXt_, LYAGPLXt_, r);
        add(LYAGPLXt_, TED_, Syx_, r);

        // Sxx = (LambdaX Phi) LambdaX' + ThetaDelta
        multiply(LX_, Ph_, LXP_, r);
        multiply(LXP_, LXt_, LXPLXt_, r);
        add(LXPLXt_, TD_, Sxx_, r);

        NonZero nz{Syy_.has_d12 || Syx_.has_d12 || Sxx_.has_d12, false};
        const Eigen::Index ny = dims_.ny, nx = dims_.nx, p = dims_.n_observed();
        if (nz.Sigma) {
            Sigma_ab.resize(p, p);
            second_derivative(Syy_, Sigma_ab.topLeftCorner(ny, ny));
            second_derivative(Syx_, Sigma_ab.topRightCorner(ny, nx));
            Sigma_ab.bottomLeftCorner(nx, ny) = Sigma_ab.topRightCorner(ny, nx).transpose();
            second_derivative(Sxx_, Sigma_ab.bottomRightCorner(nx, nx));
        }

        if (with_means_) {
            seed_target(TauY, TY_);
            seed_target(TauX, TX_);
            seed_target(Kappa, K_);
            seed_target(Alpha, Al_);
            // mu_y = TauY + (LambdaY A)(Alpha + Gamma Kappa); mu_x = TauX + LambdaX Kappa
            multiply(G_, K_, GK_, r);
            add(Al_, GK_, nu_, r);
            multiply(LYA_, nu_, LYAnu_, r);
            add(TY_, LYAnu_, muy_, r);
            multiply(LX_, K_, LXK_, r);
            add(TX_, LXK_, mux_, r);
            nz.mu = muy_.has_d12 || mux_.has_d12;
            if (nz.mu) {
                mu_ab.resize(p);
                second_derivative(muy_, mu_ab.head(ny));
                second_derivative(mux_, mu_ab.tail(nx));
            }
        }
        values_ready_ = true;
        d1_ready_ = true;
        return nz;
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
    const ModelMatrices* da_ = nullptr;
    const TargetFlags* ta_ = nullptr;
    bool values_ready_ = false;
    bool d1_ready_ = false;
    // Seeds, then every intermediate of the expressions in evaluation order;
    // each keeps its own value and D1 for reuse.
    HyperDualMatrix LY_, LX_, G_, Ph_, Ps_, TE_, TD_, TED_, TY_, TX_, K_, Al_;
    HyperDualMatrix IB_, Ahd_, At_, Gt_, LYt_, LXt_;
    HyperDualMatrix GP_, GPGt_, C_;
    HyperDualMatrix LYA_, LYAC_, LYACAt_, LYACAtLYt_, Syy_;
    HyperDualMatrix LYAG_, LYAGP_, LYAGPLXt_, Syx_;
    HyperDualMatrix LXP_, LXPLXt_, Sxx_;
    HyperDualMatrix GK_, nu_, LYAnu_, muy_, LXK_, mux_;
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
    Eigen::MatrixXd dSigma;  // p x p, one parameter at a time
    std::vector<Eigen::VectorXd> dmu(n_free);
    std::vector<Eigen::MatrixXd> P(n_free), R(n_free);  // Sigma^-1 dSigma, W dSigma
    std::vector<Eigen::VectorXd> u(n_free), w(n_free);  // Sigma^-1 dmu, dSigma' vl
    for (int k = 0; k < n_free; ++k) {
        rule.apply(ind.d[k], ind.touched[k], dSigma, dmu[k]);
        P[k].noalias() = SigmaInv * dSigma;
        R[k].noalias() = W * dSigma;
        if (with_means) {
            u[k].noalias() = SigmaInv * dmu[k];
            w[k].noalias() = dSigma.transpose() * vl;
        }
    }
    // t2(i, j) = trace(P_i P_j), t3(i, j) = trace(R_i P_j)
    const Eigen::MatrixXd T2 = pairwise_traces(P, P);
    const Eigen::MatrixXd T3 = pairwise_traces(R, P);

    HyperDualModel model(description.dims(), pt.m, pt.A, with_means);
    Eigen::MatrixXd Sigma_ij;
    Eigen::VectorXd mu_ij;
    Eigen::MatrixXd H(n_free, n_free);
    for (int j = 0; j < n_free; ++j) {
        model.set_first(ind.d[j], ind.touched[j]);
        for (int i = j; i < n_free; ++i) {
            const auto nz = model.evaluate(ind.d[i], ind.touched[i], Sigma_ij, mu_ij);
            const double t1 = nz.Sigma ? (Wt.array() * Sigma_ij.array()).sum() : 0.0;
            const double t2 = T2(i, j);
            const double t3 = T3(i, j);
            double h = -2.0 * t3 + t2 + t1;
            if (with_means) {
                const double m1 = 2.0 * dmu[j].dot(u[i]);
                const double m2 = 2.0 * (w[j].dot(u[i]) + w[i].dot(u[j]));
                const double m3 = nz.mu ? -2.0 * vl.dot(mu_ij) : 0.0;
                h += m1 + m2 + m3;
            }
            H(j, i) = h;
            H(i, j) = h;
        }
    }
    return H;
}

}  // namespace sem
