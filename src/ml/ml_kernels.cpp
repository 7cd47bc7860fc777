// Compiled once per instruction set: the build names the copy with
// SEM_KERNEL_ISA and, for all but the baseline copy, renames Eigen's
// namespace, so that no template instance of one copy can stand in for the
// other's. Only raw arrays leave this file.

#include "ml/ml_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include <Eigen/Cholesky>
#include <Eigen/Core>

#include "model/rank_proof.hpp"

namespace sem::SEM_KERNEL_ISA {

namespace {

using Eigen::Index;
using Eigen::Lower;
using Eigen::MatrixXd;
using ConstMap = Eigen::Map<const MatrixXd>;
using VectorMap = Eigen::Map<Eigen::VectorXd>;
using ConstVectorMap = Eigen::Map<const Eigen::VectorXd>;

// Panel width of the triangle-aware products below: wide enough for the
// blocked kernels, narrow enough that the skipped zeros matter.
constexpr Index kPanel = 32;

// Lower Cholesky factor in place (the lower triangle of a is read), by the
// algorithm and with the verdict of Eigen::LLT.
bool factor_in_place(MatrixXd& a) {
    Eigen::LLT<Eigen::Ref<MatrixXd>> llt(a);
    return llt.info() == Eigen::Success;
}

// B <- L^-1 B for lower-triangular L and B: panel j of B is zero above its
// first row, and so is the result, so each panel is a solve with the
// trailing triangle only (a third of the dense work).
void solve_lower_into_lower(const MatrixXd& L, MatrixXd& B) {
    const Index n = L.rows();
    for (Index j0 = 0; j0 < n; j0 += kPanel) {
        const Index w = std::min(kPanel, n - j0), r = n - j0;
        auto panel = B.block(j0, j0, r, w);
        L.bottomRightCorner(r, r).triangularView<Lower>().solveInPlace(panel);
    }
}

double log_det_from_factor(const MatrixXd& L) {
    double s = 0.0;
    for (Index i = 0; i < L.rows(); ++i) s += std::log(L(i, i));
    return 2.0 * s;
}

// Squared Frobenius norm of the lower triangle of a lower-triangular result.
double lower_norm2(const MatrixXd& B) {
    double s = 0.0;
    for (Index j = 0; j < B.cols(); ++j) s += B.col(j).tail(B.rows() - j).squaredNorm();
    return s;
}

MatrixXd lower_part(const MatrixXd& a) {
    MatrixXd b = MatrixXd::Zero(a.rows(), a.cols());
    b.triangularView<Lower>() = a;
    return b;
}

bool sample_factor(int p, const double* S, double* C) {
    const ConstMap s(S, p, p);
    MatrixXd c = lower_part(0.5 * (s + s.transpose()));
    if (!factor_in_place(c)) return false;
    Eigen::Map<MatrixXd>(C, p, p) = c.triangularView<Lower>();
    return true;
}

// With Sigma = L L': log|Sigma| = 2 sum log L_ii, tr(C C' Sigma^-1) =
// ||L^-1 C||_F^2 and d' Sigma^-1 d = ||L^-1 d||^2.
bool discrepancy_terms(int p, const double* Sigma, const double* C, const double* d,
                       double* terms) {
    MatrixXd L = ConstMap(Sigma, p, p);
    if (!factor_in_place(L)) return false;
    MatrixXd Z = lower_part(ConstMap(C, p, p));
    solve_lower_into_lower(L, Z);
    terms[0] = log_det_from_factor(L);
    terms[1] = lower_norm2(Z);
    terms[2] = 0.0;
    if (d != nullptr) {
        Eigen::VectorXd e = ConstVectorMap(d, p);
        L.triangularView<Lower>().solveInPlace(e);
        terms[2] = e.squaredNorm();
    }
    return true;
}

// With R = L^-1 (Sigma = L L'), M = R C and e = R d:
//   Sigma^-1 = R' R,  Sigma^-1 Q Sigma^-1 = R' (M M' + e e') R,
// so W L = R' (T - M (M' T) - e (e' T)) with T = R L, and
//   W(i, j) = r_i . r_j - n_i . n_j - v_i v_j
// with r_i, n_i the columns i of R and N = M' R and v = R' e.
bool gradient_terms(const MlGradientInput& in, const MlGradientOutput& out) {
    const Index p = in.p, m = in.m;
    const SymmetryScan scan = scan_symmetry(p, in.Sigma, p);
    if (!scan.usable) return false;
    MatrixXd L = ConstMap(in.Sigma, p, p);
    if (!factor_in_place(L)) return false;
    MatrixXd R = MatrixXd::Identity(p, p);
    solve_lower_into_lower(L, R);
    // trace(Sigma^-1) = ||R||_F^2
    if (!cholesky_proves_full_rank(p, scan, lower_norm2(R))) return false;

    MatrixXd M = lower_part(ConstMap(in.C, p, p));
    solve_lower_into_lower(L, M);
    const auto Rl = std::as_const(R).triangularView<Lower>();
    const auto Ml = std::as_const(M).triangularView<Lower>();

    MatrixXd T(p, m);
    T.noalias() = Rl * ConstMap(in.L, p, m);
    MatrixXd U = T;
    MatrixXd MtT(p, m);
    MtT.noalias() = Ml.transpose() * T;
    U.noalias() -= Ml * MtT;
    Eigen::VectorXd v = Eigen::VectorXd::Zero(p);
    if (in.d != nullptr) {
        Eigen::VectorXd e(p);
        e.noalias() = Rl * ConstVectorMap(in.d, p);
        U.noalias() -= e * (e.transpose() * T);
        v.noalias() = Rl.transpose() * e;
    }
    Eigen::Map<MatrixXd>(out.WL, p, m).noalias() = Rl.transpose() * U;
    VectorMap(out.gmu, p) = -2.0 * v;

    if (in.n_pairs == 0) return true;
    // Only the panels of N that hold a wanted column. Column j of R is zero
    // above row j, so panel j0 of N = M' R needs rows j0.. of R: a dense
    // part from M's leading columns and a triangular one.
    Eigen::VectorXi wanted = Eigen::VectorXi::Zero(p);
    for (int k = 0; k < 2 * in.n_pairs; ++k) wanted[in.pairs[k]] = 1;
    MatrixXd N = MatrixXd::Zero(p, p);
    for (Index j0 = 0; j0 < p; j0 += kPanel) {
        const Index w = std::min(kPanel, p - j0), r = p - j0;
        bool any = false;
        for (Index j = j0; j < j0 + w; ++j) any |= wanted[j] != 0;
        if (!any) continue;
        const auto Rp = R.block(j0, j0, r, w);
        N.block(0, j0, j0, w).noalias() = M.block(j0, 0, r, j0).transpose() * Rp;
        N.block(j0, j0, r, w).noalias() =
            std::as_const(M).bottomRightCorner(r, r).triangularView<Lower>().transpose() * Rp;
    }
    for (int k = 0; k < in.n_pairs; ++k) {
        const Index i = in.pairs[2 * k], j = in.pairs[2 * k + 1];
        const Index s = std::max(i, j);
        out.w[k] = R.col(i).tail(p - s).dot(R.col(j).tail(p - s)) - N.col(i).dot(N.col(j)) -
                   v[i] * v[j];
    }
    return true;
}

}  // namespace

const MlKernels& kernels() {
    static const MlKernels table{sample_factor, discrepancy_terms, gradient_terms};
    return table;
}

}  // namespace sem::SEM_KERNEL_ISA
