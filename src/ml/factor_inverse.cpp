#include "ml/factor_inverse.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include <Eigen/Cholesky>

#include "kernels/ml_kernels.hpp"

namespace sem {

namespace {

// Groups of residual covariances whose factorisations together cost more
// than a sixteenth of one of Sigma would eat what this route saves.
constexpr double kGroupCostShare = 1.0 / 16.0;

Eigen::MatrixXd symmetric_part(const Eigen::MatrixXd& a) { return 0.5 * (a + a.transpose()); }

double llt_log_det(const Eigen::LLT<Eigen::MatrixXd>& llt) {
    const auto& f = llt.matrixLLT();
    double s = 0.0;
    for (Eigen::Index i = 0; i < f.rows(); ++i) s += std::log(f(i, i));
    return 2.0 * s;
}

Eigen::MatrixXd inverse_of(const Eigen::LLT<Eigen::MatrixXd>& llt) {
    const Eigen::Index n = llt.matrixLLT().rows();
    return symmetric_part(llt.solve(Eigen::MatrixXd::Identity(n, n)));
}

// Theta of the observed vector (y, then x) from its three blocks.
struct ThetaView {
    const ModelMatrices& m;
    int ny;
    double operator()(int i, int j) const {
        if (i < ny) return j < ny ? m.ThetaEpsilon(i, j) : m.ThetaEpsilonDelta(i, j - ny);
        return j < ny ? m.ThetaEpsilonDelta(j, i - ny) : m.ThetaDelta(i - ny, j - ny);
    }
};

}  // namespace

template <class F>
void FactorInverse::for_row(int i, F&& f) const {
    const int g = group_[static_cast<std::size_t>(i)];
    if (g < 0) {
        if (dinv_[i] != 0.0) f(i, dinv_[i]);
        return;
    }
    const Group& grp = groups_[static_cast<std::size_t>(g)];
    const int s = slot_[static_cast<std::size_t>(i)];
    for (std::size_t a = 0; a < grp.index.size(); ++a) {
        f(grp.index[a], grp.inverse(s, static_cast<Eigen::Index>(a)));
    }
}

bool FactorInverse::find_groups(const ModelDims& dims, const ModelMatrices& m) {
    const ThetaView theta{m, dims.ny};
    if (!m.ThetaEpsilon.allFinite() || !m.ThetaDelta.allFinite() ||
        !m.ThetaEpsilonDelta.allFinite()) {
        return false;
    }
    std::vector<int> root(static_cast<std::size_t>(p_));
    std::iota(root.begin(), root.end(), 0);
    auto find = [&root](int i) {
        while (root[static_cast<std::size_t>(i)] != i) {
            int& r = root[static_cast<std::size_t>(i)];
            r = root[static_cast<std::size_t>(r)];
            i = r;
        }
        return i;
    };
    auto unite = [&](int i, int j) {
        i = find(i);
        j = find(j);
        if (i != j) root[static_cast<std::size_t>(std::max(i, j))] = std::min(i, j);
    };
    // The diagonal blocks must be symmetric cell by cell: the implied Sigma
    // keeps an asymmetric one, which no symmetric form reproduces.
    auto scan = [&](const Eigen::MatrixXd& t, int offset) {
        const int n = static_cast<int>(t.rows());
        for (int j = 0; j < n; ++j) {
            for (int i = j + 1; i < n; ++i) {
                const double a = t(i, j);
                if (a != t(j, i)) return false;
                if (a != 0.0) unite(offset + i, offset + j);
            }
        }
        return true;
    };
    if (!scan(m.ThetaEpsilon, 0) || !scan(m.ThetaDelta, dims.ny)) return false;
    const Eigen::MatrixXd& ted = m.ThetaEpsilonDelta;
    for (int j = 0; j < ted.cols(); ++j) {
        for (int i = 0; i < ted.rows(); ++i) {
            if (ted(i, j) != 0.0) unite(i, dims.ny + j);
        }
    }

    std::vector<int> size(static_cast<std::size_t>(p_), 0), group_of(static_cast<std::size_t>(p_), -1);
    for (int i = 0; i < p_; ++i) ++size[static_cast<std::size_t>(find(i))];
    dinv_.setZero(p_);
    theta_diag_.resize(p_);
    group_.assign(static_cast<std::size_t>(p_), -1);
    slot_.assign(static_cast<std::size_t>(p_), 0);
    groups_.clear();
    exact_.clear();
    log_det_ = 0.0;
    for (int i = 0; i < p_; ++i) {
        const double t = theta(i, i);
        theta_diag_[i] = t;
        const int r = find(i);
        const int n = size[static_cast<std::size_t>(r)];
        if (n == 1) {
            if (t > 0.0) {
                dinv_[i] = 1.0 / t;
                log_det_ += std::log(t);
            } else if (t == 0.0) {
                exact_.push_back(i);
            } else {
                return false;
            }
            continue;
        }
        int& g = group_of[static_cast<std::size_t>(r)];
        if (g < 0) {
            g = static_cast<int>(groups_.size());
            groups_.emplace_back();
        }
        Group& grp = groups_[static_cast<std::size_t>(g)];
        group_[static_cast<std::size_t>(i)] = g;
        slot_[static_cast<std::size_t>(i)] = static_cast<int>(grp.index.size());
        grp.index.push_back(i);
    }
    double cost = 0.0;
    for (const Group& grp : groups_) cost += std::pow(static_cast<double>(grp.index.size()), 3);
    if (cost > kGroupCostShare * std::pow(static_cast<double>(p_), 3)) return false;
    for (Group& grp : groups_) {
        const auto n = static_cast<Eigen::Index>(grp.index.size());
        Eigen::MatrixXd t(n, n);
        for (Eigen::Index b = 0; b < n; ++b) {
            for (Eigen::Index a = 0; a < n; ++a) {
                t(a, b) = theta(grp.index[static_cast<std::size_t>(a)],
                                grp.index[static_cast<std::size_t>(b)]);
            }
        }
        const Eigen::LLT<Eigen::MatrixXd> llt(t);
        if (llt.info() != Eigen::Success) return false;
        grp.inverse = inverse_of(llt);
        log_det_ += llt_log_det(llt);
    }
    return true;
}

bool FactorInverse::compute(const ModelDims& dims, const ModelMatrices& m,
                            const Eigen::MatrixXd& L, const Eigen::MatrixXd& K) {
    p_ = static_cast<int>(L.rows());
    m_ = static_cast<int>(L.cols());
    if (m_ == 0 || p_ == 0) return false;
    // Comparisons that a NaN fails as well.
    if (!(m.Phi == m.Phi.transpose()) || !(m.Psi == m.Psi.transpose())) return false;
    if (!L.allFinite() || !K.allFinite()) return false;
    if (!find_groups(dims, m)) return false;
    const int e = static_cast<int>(exact_.size());
    // S_E = F_E C^-1 F_E' has rank m at most.
    if (e > m_) return false;

    // K = G G' by the pivoted LDL' of its symmetric part.
    const Eigen::MatrixXd Ks = symmetric_part(K);
    const Eigen::LDLT<Eigen::MatrixXd> ldlt(Ks);
    if (ldlt.info() != Eigen::Success) return false;
    const Eigen::VectorXd pivots = ldlt.vectorD();
    if (!(pivots.array() >= 0.0).all()) return false;
    Eigen::MatrixXd unit_lower = Eigen::MatrixXd::Identity(m_, m_);
    unit_lower.triangularView<Eigen::StrictlyLower>() = ldlt.matrixLDLT();
    Eigen::MatrixXd G = ldlt.transpositionsP().transpose() *
                        (unit_lower * pivots.cwiseSqrt().asDiagonal());
    const double k_max = Ks.cwiseAbs().maxCoeff();
    const double eps = std::ldexp(1.0, -52);
    Eigen::MatrixXd residual = Ks;
    residual.noalias() -= G * G.transpose();
    if (!(residual.cwiseAbs().maxCoeff() <= 64.0 * m_ * eps * k_max)) return false;

    const Eigen::MatrixXd DL = apply_D(L);
    const Eigen::MatrixXd F = L * G;
    Eigen::MatrixXd LtDL(m_, m_);
    LtDL.noalias() = L.transpose() * DL;
    Eigen::MatrixXd C = Eigen::MatrixXd::Identity(m_, m_);
    C.noalias() += G.transpose() * LtDL * G;
    const Eigen::LLT<Eigen::MatrixXd> c_llt(symmetric_part(C));
    if (c_llt.info() != Eigen::Success) return false;
    log_det_ += llt_log_det(c_llt);
    const Eigen::MatrixXd H = inverse_of(c_llt);

    const int r = m_ + e;
    Z_.resize(r, r);
    if (e == 0) {
        Z_.noalias() = G * H * G.transpose();
    } else {
        Eigen::MatrixXd FE(e, m_);
        for (int k = 0; k < e; ++k) FE.row(k) = F.row(exact_[static_cast<std::size_t>(k)]);
        const Eigen::MatrixXd HFt = H * FE.transpose();
        const Eigen::LLT<Eigen::MatrixXd> e_llt(symmetric_part(FE * HFt));
        if (e_llt.info() != Eigen::Success) return false;
        log_det_ += llt_log_det(e_llt);
        const Eigen::MatrixXd X = inverse_of(e_llt);
        const Eigen::MatrixXd T = HFt * X;
        const Eigen::MatrixXd Z11 = H - T * HFt.transpose();
        Z_.topLeftCorner(m_, m_).noalias() = G * Z11 * G.transpose();
        Z_.topRightCorner(m_, e).noalias() = G * T;
        Z_.bottomLeftCorner(e, m_) = Z_.topRightCorner(m_, e).transpose();
        Z_.bottomRightCorner(e, e) = -X;
    }
    Z_ = symmetric_part(Z_);
    U_.setZero(p_, r);
    U_.leftCols(m_) = DL;
    for (int k = 0; k < e; ++k) U_(exact_[static_cast<std::size_t>(k)], m_ + k) = 1.0;
    if (!std::isfinite(log_det_) || !Z_.allFinite()) return false;

    // The margin. 1 / trace(Sigma^-1) bounds Sigma's smallest eigenvalue from
    // below; a quarter of it allows for the rounding of this trace, and the
    // implied Sigma, formed by products, differs from Theta + F F' by at
    // most `rounding` (also a bound on its asymmetry). Its largest entry is
    // a variance. Beyond the bound below, Eigen's LLT of it succeeds
    // (Demmel: 20 p^1.5 kappa u < 1 after scaling by the diagonal) and the
    // rank test passes (rank_proof.hpp), each with a factor of 2 to spare.
    Eigen::MatrixXd UtU(r, r);
    UtU.noalias() = U_.transpose() * U_;
    double trace = dinv_.sum() - Z_.cwiseProduct(UtU).sum();
    for (const Group& grp : groups_) trace += grp.inverse.trace();
    double max_var = 0.0;
    for (int i = 0; i < p_; ++i) max_var = std::max(max_var, theta_diag_[i] + F.row(i).squaredNorm());
    const double l1 = L.cwiseAbs().rowwise().sum().maxCoeff();
    const double n = p_;
    const double rounding = 4.0 * (m_ + 3) * n * eps * l1 * l1 * k_max;
    const double max_abs = max_var + rounding;
    const double needed =
        2.0 * eps * max_abs * std::max(4.0 * (n * n + n * n * n), 20.0 * n * n * std::sqrt(n));
    if (!(trace > 0.0) || !std::isfinite(trace)) return false;
    return 0.25 / trace - rounding > needed;
}

Eigen::MatrixXd FactorInverse::apply_D(const Eigen::MatrixXd& X) const {
    Eigen::MatrixXd Y = dinv_.asDiagonal() * X;
    Eigen::MatrixXd x, y;
    for (const Group& grp : groups_) {
        const auto n = static_cast<Eigen::Index>(grp.index.size());
        x.resize(n, X.cols());
        for (Eigen::Index a = 0; a < n; ++a) x.row(a) = X.row(grp.index[static_cast<std::size_t>(a)]);
        y.noalias() = grp.inverse * x;
        for (Eigen::Index a = 0; a < n; ++a) Y.row(grp.index[static_cast<std::size_t>(a)]) = y.row(a);
    }
    return Y;
}

Eigen::MatrixXd FactorInverse::solve(const Eigen::MatrixXd& X) const {
    Eigen::MatrixXd UtX(U_.cols(), X.cols());
    UtX.noalias() = U_.transpose() * X;
    Eigen::MatrixXd Y = apply_D(X);
    Y.noalias() -= U_ * (Z_ * UtX);
    return Y;
}

Eigen::MatrixXd FactorInverse::left_times_U(const Eigen::MatrixXd& S) const {
    Eigen::MatrixXd SU(p_, U_.cols());
    ml_kernels().product(p_, p_, m_, S.data(), p_, U_.data(), SU.data(), p_);
    for (std::size_t k = 0; k < exact_.size(); ++k) {
        SU.col(m_ + static_cast<Eigen::Index>(k)) = S.col(exact_[k]);
    }
    return SU;
}

double FactorInverse::trace_DS(const Eigen::MatrixXd& S) const {
    double t = dinv_.dot(S.diagonal());
    for (const Group& grp : groups_) {
        const auto n = static_cast<Eigen::Index>(grp.index.size());
        for (Eigen::Index b = 0; b < n; ++b) {
            for (Eigen::Index a = 0; a < n; ++a) {
                t += grp.inverse(a, b) * S(grp.index[static_cast<std::size_t>(b)],
                                           grp.index[static_cast<std::size_t>(a)]);
            }
        }
    }
    return t;
}

double FactorInverse::DSD(const Eigen::MatrixXd& S, int i, int j) const {
    double s = 0.0;
    for_row(i, [&](int a, double da) {
        for_row(j, [&](int b, double db) { s += da * S(a, b) * db; });
    });
    return s;
}

double FactorInverse::D(int i, int j) const {
    const int g = group_[static_cast<std::size_t>(i)];
    if (g < 0) return i == j ? dinv_[i] : 0.0;
    if (group_[static_cast<std::size_t>(j)] != g) return 0.0;
    return groups_[static_cast<std::size_t>(g)].inverse(slot_[static_cast<std::size_t>(i)],
                                                        slot_[static_cast<std::size_t>(j)]);
}

}  // namespace sem
