#include "model/moment_terms.hpp"

namespace sem {

MomentTerms::MomentTerms(const ModelDims& dims, const RamForm& r,
                         const std::vector<FreeCell>& cells, bool mirror, bool with_means)
    : p_(r.L.rows()) {
    const Eigen::Index p = p_, m = r.L.cols(), ny = dims.ny;
    const bool k_symmetric = r.K == r.K.transpose();
    const Eigen::Index q0 = (k_symmetric ? 2 : 3) * m;
    factors_.resize(p, mirror ? 3 * q0 : q0);
    factors_.leftCols(m) = r.LA;
    factors_.middleCols(m, m) = r.LKt;
    if (!k_symmetric) factors_.middleCols(2 * m, m) = r.LK;
    if (mirror) {
        factors_.middleCols(q0, q0) = factors_.leftCols(q0);
        factors_.middleCols(q0, q0).topRows(ny).setZero();
        factors_.rightCols(q0) = factors_.leftCols(q0);
        factors_.rightCols(q0).bottomRows(p - ny).setZero();
    }
    const int P = static_cast<int>(p), M = static_cast<int>(m);
    auto P1 = [&](int j) { return P + j; };
    auto P2 = [&](int j) { return P + M + j; };
    auto P3 = [&](int j) { return k_symmetric ? P + M + j : P + 2 * M + j; };
    // Column indices of the masked copies, -1 where the copy is zero.
    auto x_part = [&](int a) {
        if (a < P) return a >= ny ? a : -1;
        return a + static_cast<int>(q0);
    };
    auto y_part = [&](int a) {
        if (a < P) return a < ny ? a : -1;
        return a + 2 * static_cast<int>(q0);
    };
    auto add = [&](int k, int a, int b, double c) {
        sigma_.push_back({k, a, b, c});
        if (!mirror) return;
        // Mirroring replaces the x-y block of a b' by the transpose of its
        // y-x block: a b' - a_x b_y' + b_x a_y'.
        const int ax = x_part(a), by = y_part(b), bx = x_part(b), ay = y_part(a);
        if (ax >= 0 && by >= 0) sigma_.push_back({k, ax, by, -c});
        if (bx >= 0 && ay >= 0) sigma_.push_back({k, bx, ay, c});
    };
    for (const FreeCell& c : cells) {
        const int k = c.param, i = c.row, j = c.col;
        switch (c.target) {
            case FactorTarget::L:
                add(k, i, P2(j), 1.0);
                add(k, P3(j), i, 1.0);
                if (with_means) mean_.push_back({k, i, r.Anu[j]});
                break;
            case FactorTarget::B:
                add(k, P1(i), P2(j), 1.0);
                add(k, P3(j), P1(i), 1.0);
                if (with_means) mean_.push_back({k, P1(i), r.Anu[j]});
                break;
            case FactorTarget::Psi: add(k, P1(i), P1(j), 1.0); break;
            case FactorTarget::Theta: add(k, i, j, 1.0); break;
            case FactorTarget::ThetaPair:
                add(k, i, j, 1.0);
                add(k, j, i, 1.0);
                break;
            case FactorTarget::Tau:
                if (with_means) mean_.push_back({k, i, 1.0});
                break;
            case FactorTarget::Nu:
                if (with_means) mean_.push_back({k, P1(i), 1.0});
                break;
        }
    }
}

void basis_table(const Eigen::Ref<const Eigen::MatrixXd>& Y, const MomentTerms& terms,
                 Eigen::MatrixXd& table) {
    const Eigen::Index p = terms.observed(), q = terms.factors().cols();
    const Eigen::MatrixXd& F = terms.factors();
    table.resize(p + q, p + q);
    table.topLeftCorner(p, p) = Y;
    if (q == 0) return;
    table.topRightCorner(p, q).noalias() = Y * F;
    table.bottomLeftCorner(q, p).noalias() = F.transpose() * Y;
    table.bottomRightCorner(q, q).noalias() = F.transpose() * table.topRightCorner(p, q);
}

void mirror_upper(Eigen::MatrixXd& H) {
    for (Eigen::Index j = 0; j < H.cols(); ++j) {
        for (Eigen::Index i = j + 1; i < H.rows(); ++i) H(i, j) = H(j, i);
    }
}

}  // namespace sem
