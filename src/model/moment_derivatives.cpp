#include "model/moment_derivatives.hpp"

namespace sem {

std::vector<std::vector<ParameterMapping>> free_cells_by_parameter(
    const ModelDescription& description, int n_free) {
    std::vector<std::vector<ParameterMapping>> cells(n_free > 0 ? n_free : 0);
    for (const ParameterMapping& p : description.mappings()) {
        if (p.is_free && is_known_target(p.matrix_id) && p.param_index >= 0 &&
            p.param_index < n_free) {
            cells[p.param_index].push_back(p);
        }
    }
    return cells;
}

TargetFlags add_indicators(const std::vector<ParameterMapping>& cells, ModelMatrices& ind) {
    TargetFlags touched{};
    for (const ParameterMapping& p : cells) {
        if (is_vector_target(p.matrix_id)) {
            ind.vector(p.matrix_id)[p.row] += 1.0;
        } else {
            ind.matrix(p.matrix_id)(p.row, p.col) += 1.0;
        }
        touched[p.matrix_id] = true;
    }
    return touched;
}

void clear_indicators(const std::vector<ParameterMapping>& cells, ModelMatrices& ind) {
    for (const ParameterMapping& p : cells) {
        if (is_vector_target(p.matrix_id)) {
            ind.vector(p.matrix_id)[p.row] = 0.0;
        } else {
            ind.matrix(p.matrix_id)(p.row, p.col) = 0.0;
        }
    }
}

MomentDerivativeRule::MomentDerivativeRule(const ModelDims& dims, const ModelMatrices& m,
                                           const Eigen::MatrixXd& A, const Eigen::MatrixXd& C)
    : dims_(dims), m_(m), A_(A) {
    const Eigen::MatrixXd LYt = m.LambdaY.transpose();
    LA_ = m.LambdaY * A;
    CAtLYt_ = C * A.transpose() * LYt;
    ACAtLYt_ = A * CAtLYt_;
    LAC_ = LA_ * C;
    LACAt_ = LAC_ * A.transpose();
    PLXt_ = m.Phi * m.LambdaX.transpose();
    GPLXt_ = m.Gamma * PLXt_;
    AGPLXt_ = A * GPLXt_;
    LAG_ = LA_ * m.Gamma;
    LAGP_ = LAG_ * m.Phi;
    LXP_ = m.LambdaX * m.Phi;
    PGt_ = m.Phi * m.Gamma.transpose();
    GP_ = m.Gamma * m.Phi;
    nu_ = m.Alpha + m.Gamma * m.Kappa;
    Anu_ = A * nu_;
}

void MomentDerivativeRule::apply(const ModelMatrices& dm, const TargetFlags& t,
                                 Eigen::MatrixXd& dSigma, Eigen::VectorXd& dmu) const {
    const Eigen::Index ny = dims_.ny, nx = dims_.nx, p = dims_.n_observed();
    dSigma.setZero(p, p);
    dmu.setZero(p);

    const bool dBeta = t[Beta];
    const bool dC_nonzero = t[Gamma] || t[Phi] || t[Psi];
    Eigen::MatrixXd& dA = dA_;
    if (dBeta) {
        tmp_.noalias() = A_ * dm.Beta;
        dA.noalias() = tmp_ * A_;
    }

    if (ny > 0) {
        auto yy = dSigma.topLeftCorner(ny, ny);
        if (t[LambdaY]) {
            yy.noalias() += dm.LambdaY * ACAtLYt_;
            yy.noalias() += LACAt_ * dm.LambdaY.transpose();
        }
        if (dBeta) {
            yy.noalias() += m_.LambdaY * (dA * CAtLYt_);
            yy.noalias() += LAC_ * (dA.transpose() * m_.LambdaY.transpose());
        }
        if (dC_nonzero) {
            Eigen::MatrixXd& dC = dC_;
            dC = dm.Psi;
            if (t[Gamma]) {
                dC.noalias() += dm.Gamma * PGt_;
                dC.noalias() += GP_ * dm.Gamma.transpose();
            }
            if (t[Phi]) dC.noalias() += m_.Gamma * dm.Phi * m_.Gamma.transpose();
            yy.noalias() += LA_ * dC * LA_.transpose();
        }
        if (t[ThetaEpsilon]) yy += dm.ThetaEpsilon;
    }

    if (ny > 0 && nx > 0) {
        auto yx = dSigma.topRightCorner(ny, nx);
        if (t[LambdaY]) yx.noalias() += dm.LambdaY * AGPLXt_;
        if (dBeta) yx.noalias() += m_.LambdaY * (dA * GPLXt_);
        if (t[Gamma]) yx.noalias() += LA_ * dm.Gamma * PLXt_;
        if (t[Phi]) yx.noalias() += LAG_ * dm.Phi * m_.LambdaX.transpose();
        if (t[LambdaX]) yx.noalias() += LAGP_ * dm.LambdaX.transpose();
        if (t[ThetaEpsilonDelta]) yx += dm.ThetaEpsilonDelta;
        dSigma.bottomLeftCorner(nx, ny) = yx.transpose();
    }

    if (nx > 0) {
        auto xx = dSigma.bottomRightCorner(nx, nx);
        if (t[LambdaX]) {
            xx.noalias() += dm.LambdaX * PLXt_;
            xx.noalias() += LXP_ * dm.LambdaX.transpose();
        }
        if (t[Phi]) xx.noalias() += m_.LambdaX * dm.Phi * m_.LambdaX.transpose();
        if (t[ThetaDelta]) xx += dm.ThetaDelta;
    }

    if (ny > 0) {
        auto my = dmu.head(ny);
        if (t[TauY]) my += dm.TauY;
        if (t[LambdaY]) my.noalias() += dm.LambdaY * Anu_;
        if (dBeta) my.noalias() += m_.LambdaY * (dA * nu_);
        if (t[Alpha] || t[Gamma] || t[Kappa]) {
            Eigen::VectorXd& dnu = dnu_;
            dnu = dm.Alpha;
            if (t[Gamma]) dnu.noalias() += dm.Gamma * m_.Kappa;
            if (t[Kappa]) dnu.noalias() += m_.Gamma * dm.Kappa;
            my.noalias() += LA_ * dnu;
        }
    }
    if (nx > 0) {
        auto mx = dmu.tail(nx);
        if (t[TauX]) mx += dm.TauX;
        if (t[LambdaX]) mx.noalias() += dm.LambdaX * m_.Kappa;
        if (t[Kappa]) mx.noalias() += m_.LambdaX * dm.Kappa;
    }
}

ImpliedMomentDerivatives implied_moment_derivatives(const ModelDescription& description,
                                                    const ModelMatrices& m,
                                                    const Eigen::MatrixXd& A,
                                                    const Eigen::MatrixXd& C, int n_free) {
    ImpliedMomentDerivatives out;
    const auto cells = free_cells_by_parameter(description, n_free);
    out.dSigma.resize(cells.size());
    out.dmu.resize(cells.size());
    const MomentDerivativeRule rule(description.dims(), m, A, C);
    ModelMatrices ind = ModelMatrices::zeros(description.dims());
    for (std::size_t k = 0; k < cells.size(); ++k) {
        const TargetFlags touched = add_indicators(cells[k], ind);
        rule.apply(ind, touched, out.dSigma[k], out.dmu[k]);
        clear_indicators(cells[k], ind);
    }
    return out;
}

}  // namespace sem
