// Compiled once per instruction set: the build names the copy with
// SEM_KERNEL_ISA and, for all but the baseline copy, renames Eigen's
// namespace, so that no template instance of one copy can stand in for the
// other's. Only raw arrays leave this file.
//
// Inputs are copied into matrices that this copy allocates, aligned for its
// packets, before any reduction reads them: Eigen's vectorised sums start
// at the first aligned element, so over the caller's buffers (aligned for
// the baseline's narrower packets only) the order of summation, and with it
// the last bits of a result, would change from call to call.

#include "kernels/ml_kernels.hpp"

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

// Products whose rows + columns + depth fall below this are copied first:
// a margin over the size under which Eigen evaluates coefficient-based
// (EIGEN_GEMM_TO_COEFFBASED_THRESHOLD, 20).
constexpr int kCopyBelow = 64;

// Below this order the recursive kernels hand over to Eigen's own.
constexpr Index kLeaf = 16;

// A split near the middle on a multiple of 4, the packet width that the
// products' kernels work in.
Index split(Index n) { return ((n / 2 + 3) / 4) * 4; }

// Lower Cholesky factor in place (the lower triangle of a is read): what
// Eigen::LLT::compute runs, and its verdict, without the L1 norm that LLT
// keeps for condition estimates.
bool factor_in_place(Eigen::Ref<MatrixXd> a) {
    return Eigen::internal::llt_inplace<double, Lower>::blocked(a) == -1;
}

// B <- L^-1 B, L lower-triangular: recursive, so that most of the work is
// in matrix products, which run faster than Eigen's blocked triangular
// solve at these orders.
void solve_lower(const Eigen::Ref<const MatrixXd>& L, Eigen::Ref<MatrixXd> B) {
    const Index n = L.rows();
    if (n <= kLeaf) {
        L.triangularView<Lower>().solveInPlace(B);
        return;
    }
    const Index n1 = split(n), n2 = n - n1;
    solve_lower(L.topLeftCorner(n1, n1), B.topRows(n1));
    B.bottomRows(n2).noalias() -= L.bottomLeftCorner(n2, n1) * B.topRows(n1);
    solve_lower(L.bottomRightCorner(n2, n2), B.bottomRows(n2));
}

// The same for a lower-triangular B (zeros above the diagonal), whose
// result is lower-triangular too: a third of the dense work.
void solve_lower_into_lower(const Eigen::Ref<const MatrixXd>& L, Eigen::Ref<MatrixXd> B) {
    const Index n = L.rows();
    if (n <= kLeaf) return solve_lower(L, B);
    const Index n1 = split(n), n2 = n - n1;
    solve_lower_into_lower(L.topLeftCorner(n1, n1), B.topLeftCorner(n1, n1));
    B.bottomLeftCorner(n2, n1).noalias() -= L.bottomLeftCorner(n2, n1) * B.topLeftCorner(n1, n1);
    solve_lower(L.bottomRightCorner(n2, n2), B.bottomLeftCorner(n2, n1));
    solve_lower_into_lower(L.bottomRightCorner(n2, n2), B.bottomRightCorner(n2, n2));
}

// N = M' R for lower-triangular M and R.
void upper_times_lower(const Eigen::Ref<const MatrixXd>& M, const Eigen::Ref<const MatrixXd>& R,
                       Eigen::Ref<MatrixXd> N) {
    const Index n = M.rows();
    if (n <= kLeaf) {
        N.noalias() = M.triangularView<Lower>().transpose() * R;
        return;
    }
    const Index n1 = split(n), n2 = n - n1;
    const auto M21 = M.bottomLeftCorner(n2, n1);
    const auto M22 = M.bottomRightCorner(n2, n2);
    upper_times_lower(M.topLeftCorner(n1, n1), R.topLeftCorner(n1, n1), N.topLeftCorner(n1, n1));
    N.topLeftCorner(n1, n1).noalias() += M21.transpose() * R.bottomLeftCorner(n2, n1);
    N.topRightCorner(n1, n2).noalias() = M21.transpose() * R.bottomRightCorner(n2, n2);
    N.bottomLeftCorner(n2, n1).noalias() =
        M22.triangularView<Lower>().transpose() * R.bottomLeftCorner(n2, n1);
    upper_times_lower(M22, R.bottomRightCorner(n2, n2), N.bottomRightCorner(n2, n2));
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

    // Without loadings (m = 0) there is no W L to form, and Eigen's
    // triangular products take the address of a first element they lack.
    MatrixXd T(p, m), U(p, m);
    if (m > 0) {
        const MatrixXd Lf = ConstMap(in.L, p, m);
        T.noalias() = Rl * Lf;
        U = T;
        MatrixXd MtT(p, m);
        MtT.noalias() = Ml.transpose() * T;
        U.noalias() -= Ml * MtT;
    }
    Eigen::VectorXd v = Eigen::VectorXd::Zero(p);
    if (in.d != nullptr) {
        const Eigen::VectorXd d = ConstVectorMap(in.d, p);
        Eigen::VectorXd e(p);
        e.noalias() = Rl * d;
        if (m > 0) U.noalias() -= e * (e.transpose() * T);
        v.noalias() = Rl.transpose() * e;
    }
    if (m > 0) {
        MatrixXd WL(p, m);
        WL.noalias() = Rl.transpose() * U;
        Eigen::Map<MatrixXd>(out.WL, p, m) = WL;
    }
    VectorMap(out.gmu, p) = -2.0 * v;

    if (in.n_pairs == 0) return true;
    MatrixXd N(p, p);
    upper_times_lower(M, R, N);
    for (int k = 0; k < in.n_pairs; ++k) {
        const Index i = in.pairs[2 * k], j = in.pairs[2 * k + 1];
        const Index s = std::max(i, j);
        out.w[k] = R.col(i).tail(p - s).dot(R.col(j).tail(p - s)) - N.col(i).dot(N.col(j)) -
                   v[i] * v[j];
    }
    return true;
}

bool proved_inverse(int p, const double* Sigma, double* X) {
    const SymmetryScan scan = scan_symmetry(p, Sigma, p);
    if (!scan.usable) return false;
    MatrixXd L = ConstMap(Sigma, p, p);
    if (!factor_in_place(L)) return false;
    MatrixXd R = MatrixXd::Identity(p, p);
    solve_lower_into_lower(L, R);
    if (!cholesky_proves_full_rank(p, scan, lower_norm2(R))) return false;
    // Sigma^-1 = R' R, one triangle formed and mirrored.
    MatrixXd inv = MatrixXd::Zero(p, p);
    inv.selfadjointView<Lower>().rankUpdate(R.transpose());
    inv.triangularView<Eigen::StrictlyUpper>() = inv.transpose();
    Eigen::Map<MatrixXd>(X, p, p) = inv;
    return true;
}

void weight_matrix(int p, const double* X, const double* Q, double* W) {
    const MatrixXd x = ConstMap(X, p, p), q = ConstMap(Q, p, p);
    MatrixXd QX(p, p);
    QX.noalias() = q * x;
    MatrixXd w = x;
    w.noalias() -= x * QX;
    Eigen::Map<MatrixXd>(W, p, p) = w;
}

void product(int rows, int inner, int cols, const double* A, int lda, const double* B,
             double* C, int ldc) {
    if (rows == 0 || cols == 0) return;
    const Eigen::Map<const MatrixXd, 0, Eigen::OuterStride<>> a(A, rows, inner,
                                                                 Eigen::OuterStride<>(lda));
    Eigen::Map<MatrixXd, 0, Eigen::OuterStride<>> c(C, rows, cols, Eigen::OuterStride<>(ldc));
    // Eigen evaluates small products coefficient by coefficient, as sums
    // over the operands in place (see the top of the file); larger ones pack
    // the operands into buffers of their own first.
    if (rows + cols + inner < kCopyBelow) {
        const MatrixXd a_own = a, b_own = ConstMap(B, inner, cols);
        MatrixXd c_own(rows, cols);
        c_own.noalias() = a_own * b_own;
        c = c_own;
        return;
    }
    c.noalias() = a * ConstMap(B, inner, cols);
}

}  // namespace

const MlKernels& kernels() {
    static const MlKernels table{sample_factor,  discrepancy_terms, gradient_terms,
                                 proved_inverse, weight_matrix,     product};
    return table;
}

}  // namespace sem::SEM_KERNEL_ISA
