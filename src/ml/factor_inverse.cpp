#include "ml/factor_inverse.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include <Eigen/Cholesky>

#include "kernels/kernel_products.hpp"

namespace sem {

namespace {

// Groups of residual covariances whose factorisations together cost more
// than a sixteenth of one of Sigma would eat what this route saves.
constexpr double kGroupCostShare = 1.0 / 16.0;

// A residual variance below this share of the variable's variance would
// make D large against Sigma^-1 and the difference D - U Z U' lose digits
// (a share of 1e-8 cost four of them), so such a variable joins E instead,
// where its residual enters the Schur complement directly ...
constexpr double kSmallResidual = 1.0 / 64.0;
// ... up to this many more than there are latent variables.
constexpr int kMaxSeparate = 8;

Eigen::MatrixXd symmetric_part(const Eigen::MatrixXd& a) { return 0.5 * (a + a.transpose()); }

// The inverse of a small symmetric positive definite matrix in plain loops
// (the lower triangle of `a` is read, then overwritten with scratch): most
// groups are pairs, for which Eigen's blocked solves and products cost more
// in set-up than in arithmetic. Adds the log-determinant to log_det; false
// when a pivot is not positive.
bool small_inverse(Eigen::MatrixXd& a, Eigen::MatrixXd& inv, double& log_det) {
    const Eigen::Index n = a.rows();
    for (Eigen::Index j = 0; j < n; ++j) {
        double d = a(j, j);
        for (Eigen::Index k = 0; k < j; ++k) d -= a(j, k) * a(j, k);
        if (!(d > 0.0)) return false;
        const double l = std::sqrt(d);
        a(j, j) = l;
        log_det += 2.0 * std::log(l);
        for (Eigen::Index i = j + 1; i < n; ++i) {
            double s = a(i, j);
            for (Eigen::Index k = 0; k < j; ++k) s -= a(i, k) * a(j, k);
            a(i, j) = s / l;
        }
    }
    // X = L^-1 into the upper triangle of inv, transposed (inv(j, i) = X(i, j)).
    for (Eigen::Index j = 0; j < n; ++j) {
        inv(j, j) = 1.0 / a(j, j);
        for (Eigen::Index i = j + 1; i < n; ++i) {
            double s = 0.0;
            for (Eigen::Index k = j; k < i; ++k) s += a(i, k) * inv(j, k);
            inv(j, i) = -s / a(i, i);
        }
    }
    // inverse = X' X; its (b, c) entry, b >= c, sums X(k, b) X(k, c) over k >= b.
    for (Eigen::Index c = 0; c < n; ++c) {
        for (Eigen::Index b = c; b < n; ++b) {
            double s = 0.0;
            for (Eigen::Index k = b; k < n; ++k) s += inv(b, k) * inv(c, k);
            a(b, c) = s;
        }
    }
    for (Eigen::Index c = 0; c < n; ++c) {
        for (Eigen::Index b = c; b < n; ++b) inv(b, c) = inv(c, b) = a(b, c);
    }
    return true;
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

bool FactorInverse::find_groups(const ModelDescription& description, const ModelMatrices& m,
                                const Eigen::VectorXd& common) {
    const ModelDims& dims = description.dims();
    const ThetaView theta{m, dims.ny};
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
    // Only mapped cells can be nonzero. The diagonal blocks must be
    // symmetric cell by cell: the implied Sigma keeps an asymmetric one,
    // which no symmetric form reproduces.
    for (const ParameterMapping& mp : description.mappings()) {
        int i = mp.row, j = mp.col;
        if (mp.matrix_id == ThetaDelta) {
            i += dims.ny;
            j += dims.ny;
        } else if (mp.matrix_id == ThetaEpsilonDelta) {
            j += dims.ny;
        } else if (mp.matrix_id != ThetaEpsilon) {
            continue;
        }
        const double a = theta(i, j);
        if (!std::isfinite(a) || a != theta(j, i)) return false;
        if (a != 0.0 && i != j) unite(i, j);
    }

    const auto n_vars = static_cast<std::size_t>(p_);
    std::vector<int> size(n_vars, 0), group_of(n_vars, -1);
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
            if (t < 0.0) return false;
            if (t >= kSmallResidual * (t + common[i])) {
                dinv_[i] = 1.0 / t;
                log_det_ += std::log(t);
            } else {
                exact_.push_back(i);
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
    max_group_ = 0;
    for (const Group& grp : groups_) {
        const auto n = static_cast<Eigen::Index>(grp.index.size());
        cost += std::pow(static_cast<double>(n), 3);
        max_group_ = std::max(max_group_, n);
    }
    if (cost > kGroupCostShare * std::pow(static_cast<double>(p_), 3)) return false;
    Eigen::MatrixXd work;
    for (Group& grp : groups_) {
        const auto n = static_cast<Eigen::Index>(grp.index.size());
        work.resize(n, n);
        for (Eigen::Index b = 0; b < n; ++b) {
            for (Eigen::Index a = b; a < n; ++a) {
                work(a, b) = theta(grp.index[static_cast<std::size_t>(a)],
                                   grp.index[static_cast<std::size_t>(b)]);
            }
        }
        grp.inverse.resize(n, n);
        if (!small_inverse(work, grp.inverse, log_det_)) return false;
        for (Eigen::Index a = 0; a < n; ++a) {
            const int i = grp.index[static_cast<std::size_t>(a)];
            const double variance = theta_diag_[i] + common[i];
            if (kSmallResidual * grp.inverse(a, a) * variance > 1.0) return false;
        }
    }
    return true;
}

bool FactorInverse::compute(const ModelDescription& description, const ModelMatrices& m,
                            const Eigen::MatrixXd& L, const Eigen::MatrixXd& K) {
    p_ = static_cast<int>(L.rows());
    m_ = static_cast<int>(L.cols());
    if (m_ == 0 || p_ == 0) return false;
    // Comparisons that a NaN fails as well.
    if (!(m.Phi == m.Phi.transpose()) || !(m.Psi == m.Psi.transpose())) return false;
    if (!L.allFinite() || !K.allFinite()) return false;

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

    const Eigen::MatrixXd F = kernel_product(L, G);
    const Eigen::VectorXd common = F.rowwise().squaredNorm();  // diag(L K L')
    if (!find_groups(description, m, common)) return false;
    const int e = static_cast<int>(exact_.size());
    if (e > m_ + kMaxSeparate) return false;
    const Eigen::MatrixXd DL = apply_D(L);
    LtDL_ = kernel_product_tn(L, DL);
    Eigen::MatrixXd C = Eigen::MatrixXd::Identity(m_, m_);
    C.noalias() += G.transpose() * LtDL_ * G;
    Eigen::MatrixXd H(m_, m_);
    if (!small_inverse(C, H, log_det_)) return false;

    const int r = m_ + e;
    Z_.resize(r, r);
    if (e == 0) {
        Z_.noalias() = G * H * G.transpose();
    } else {
        Eigen::MatrixXd FE(e, m_);
        for (int k = 0; k < e; ++k) FE.row(k) = F.row(exact_[static_cast<std::size_t>(k)]);
        const Eigen::MatrixXd HFt = H * FE.transpose();
        Eigen::MatrixXd SE = FE * HFt, X(e, e);
        for (int k = 0; k < e; ++k) SE(k, k) += theta_diag_[exact_[static_cast<std::size_t>(k)]];
        if (!small_inverse(SE, X, log_det_)) return false;
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
    // U' U = blockdiag((D L)' D L, I), D L being zero on E.
    const Eigen::MatrixXd DLtDL = kernel_product_tn(DL, DL);
    double trace = dinv_.sum() - Z_.topLeftCorner(m_, m_).cwiseProduct(DLtDL).sum() -
                   Z_.bottomRightCorner(e, e).trace();
    for (const Group& grp : groups_) trace += grp.inverse.trace();
    double max_var = 0.0;
    for (int i = 0; i < p_; ++i) max_var = std::max(max_var, theta_diag_[i] + common[i]);
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
    if (groups_.empty()) return Y;
    // Buffers for the largest group, so that groups of other sizes do not
    // reallocate them.
    Eigen::MatrixXd x(max_group_, X.cols()), y(max_group_, X.cols());
    for (const Group& grp : groups_) {
        const auto n = static_cast<Eigen::Index>(grp.index.size());
        for (Eigen::Index a = 0; a < n; ++a) {
            x.row(a) = X.row(grp.index[static_cast<std::size_t>(a)]);
        }
        y.topRows(n).noalias() = grp.inverse * x.topRows(n);
        for (Eigen::Index a = 0; a < n; ++a) {
            Y.row(grp.index[static_cast<std::size_t>(a)]) = y.row(a);
        }
    }
    return Y;
}

Eigen::MatrixXd FactorInverse::solve(const Eigen::MatrixXd& X) const {
    const Eigen::MatrixXd ZUtX = Z_ * kernel_product_tn(U_, X);
    Eigen::MatrixXd Y = apply_D(X);
    Y -= kernel_product(U_, ZUtX);
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

void FactorInverse::prepare_DSD(const Eigen::MatrixXd& S) {
    S_ = &S;
    Eigen::MatrixXd buffer(max_group_, max_group_);
    for (Group& grp : groups_) {
        const auto n = static_cast<Eigen::Index>(grp.index.size());
        auto s = buffer.topLeftCorner(n, n);
        for (Eigen::Index b = 0; b < n; ++b) {
            for (Eigen::Index a = 0; a < n; ++a) {
                s(a, b) = S(grp.index[static_cast<std::size_t>(a)],
                            grp.index[static_cast<std::size_t>(b)]);
            }
        }
        grp.dsd.noalias() = grp.inverse * s * grp.inverse;
    }
}

double FactorInverse::DSD(int i, int j) const {
    const int g = group_[static_cast<std::size_t>(i)];
    if (g >= 0 && group_[static_cast<std::size_t>(j)] == g) {
        return groups_[static_cast<std::size_t>(g)].dsd(slot_[static_cast<std::size_t>(i)],
                                                        slot_[static_cast<std::size_t>(j)]);
    }
    double s = 0.0;
    for_row(i, [&](int a, double da) {
        for_row(j, [&](int b, double db) { s += da * (*S_)(a, b) * db; });
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
