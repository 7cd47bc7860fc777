#include "model/rank_tested_inverse.hpp"

#include "model/rank_proof.hpp"

namespace sem {

RankTestedInverse::RankTestedInverse(Eigen::Index max_size)
    : llt_by_size_(static_cast<std::size_t>(max_size) + 1),
      lu_by_size_(static_cast<std::size_t>(max_size) + 1),
      work_(max_size, max_size) {}

bool RankTestedInverse::invert(const Eigen::Ref<const Eigen::MatrixXd>& m,
                               Eigen::Ref<Eigen::MatrixXd> inv) {
    // A 0 x 0 matrix is trivially invertible; the decomposition would
    // otherwise take the largest pivot of an empty diagonal.
    if (m.rows() == 0) return true;
    if (invert_by_cholesky(m, inv)) return true;
    return invert_by_lu(m, inv);
}

// FullPivLU calls m singular when a pivot falls to n 2^-52 times the
// largest one, the first pivot, which is max |m_ij|. Under complete
// pivoting every pivot is the largest entry of a Schur complement S, so it
// is at least ||S||_2 / n >= sigma_min(S) / n, and sigma_min(S) >=
// sigma_min(m) because S^-1 is a block of m^-1. The computed pivots are
// exact ones of m + F with ||F||_2 <= gamma_n n^2 max |m_ij| (|L| <= 1, no
// growth to speak of near a positive definite matrix), gamma_n ~ n 2^-53.
// So the test passes whenever
//     sigma_min(m) > n^2 2^-52 max|m_ij| + n^3 2^-53 max|m_ij|.
// m differs from the symmetric matrix of its lower triangle, which the
// Cholesky factorisation reads, by at most delta = ||m - tril'||_F, and the
// smallest eigenvalue of that matrix is at least 1 / trace(inverse) (the
// trace bounds the largest eigenvalue of the inverse), halved for the
// relative error of the computed inverse, at most c n kappa 2^-53 and so
// far below 1/2 whenever the test below passes. A factor of 4 on the right
// covers the constants. Only rounding-level asymmetry is taken (the
// inverse must be that of m to rounding); anything else, a matrix that is
// not positive definite or a bound too close to the threshold goes to the
// literal decomposition.
bool RankTestedInverse::invert_by_cholesky(const Eigen::Ref<const Eigen::MatrixXd>& m,
                                           Eigen::Ref<Eigen::MatrixXd> inv) {
    const Eigen::Index n = m.rows();
    const SymmetryScan scan = scan_symmetry(n, m.data(), m.outerStride());
    if (!scan.usable) return false;
    Eigen::LLT<Eigen::MatrixXd>& llt = llt_by_size_[static_cast<std::size_t>(n)];
    llt.compute(m);
    if (llt.info() != Eigen::Success) return false;
    inv.setIdentity();
    llt.solveInPlace(inv);
    return cholesky_proves_full_rank(n, scan, inv.trace());
}

bool RankTestedInverse::invert_by_lu(const Eigen::Ref<const Eigen::MatrixXd>& m,
                                     Eigen::Ref<Eigen::MatrixXd> inv) {
    const Eigen::Index k = m.rows();
    Eigen::FullPivLU<Eigen::MatrixXd>& lu = lu_by_size_[static_cast<std::size_t>(k)];
    lu.compute(m);
    if (!lu.isInvertible()) return false;
    // Eigen's own solve against the identity, written out so that its
    // intermediate lives in a reused buffer: P m Q = L U gives
    // m^-1 = Q U^-1 L^-1 P.
    auto c = work_.topLeftCorner(k, k);
    c.setZero();
    const auto& P = lu.permutationP().indices();
    for (Eigen::Index i = 0; i < k; ++i) c(P[i], i) = 1.0;
    lu.matrixLU().triangularView<Eigen::UnitLower>().solveInPlace(c);
    lu.matrixLU().triangularView<Eigen::Upper>().solveInPlace(c);
    const auto& Q = lu.permutationQ().indices();
    for (Eigen::Index i = 0; i < k; ++i) inv.row(Q[i]) = c.row(i);
    return true;
}

}  // namespace sem
