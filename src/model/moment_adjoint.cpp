#include "model/moment_adjoint.hpp"

#include <algorithm>

namespace sem {

// With K = A Psi A', a = A nu, N = L' G L and h = L' gmu:
//   chi_L   = G L K' + G' L K + gmu a'
//   chi_A   = N A Psi' + N' A Psi + h nu'
//   chi_B   = A' chi_A A'        (dA = A dB A)
//   chi_Psi = A' N A,  chi_nu = A' h,  chi_Theta = G,  chi_tau = gmu.
MomentAdjoint::MomentAdjoint(const RamForm& ram, const Eigen::MatrixXd& G,
                             const Eigen::VectorXd& gmu)
    : r_(ram), G_(&G), gmu_(gmu) {
    U1_.noalias() = G * ram.L;
    U2_.noalias() = G.transpose() * ram.L;
    finish();
}

MomentAdjoint::MomentAdjoint(const RamForm& ram, const Eigen::MatrixXd& X,
                             const Eigen::MatrixXd& QX, const Eigen::VectorXd& gmu)
    : r_(ram), X_(&X), QX_(&QX), gmu_(gmu) {
    // G L = X' L - QX' (X' L),  G' L = X L - X (QX L)
    U1_.noalias() = X.transpose() * ram.L;
    const Eigen::MatrixXd XtL = U1_;
    U1_.noalias() -= QX.transpose() * XtL;
    const Eigen::MatrixXd QXL = QX * ram.L;
    U2_.noalias() = X * ram.L;
    U2_.noalias() -= X * QXL;
    finish();
}

MomentAdjoint::MomentAdjoint(const RamForm& ram, const Eigen::MatrixXd& GL,
                             const Eigen::MatrixXd& GtL, const Eigen::VectorXd& gmu,
                             const Eigen::VectorXd& theta)
    : r_(ram), theta_(&theta), gmu_(gmu), U1_(GL), U2_(GtL) {
    finish();
}

void MomentAdjoint::finish() {
    const RamForm& ram = r_;
    const Eigen::VectorXd& gmu = gmu_;
    N_.noalias() = ram.L.transpose() * U1_;
    h_.noalias() = ram.L.transpose() * gmu;
    if (U1_ == U2_) {  // W L passed for both: one product
        const Eigen::MatrixXd Ks = ram.K + ram.K.transpose();
        barL_.noalias() = U1_ * Ks;
    } else {
        barL_.noalias() = U1_ * ram.K.transpose();
        barL_.noalias() += U2_ * ram.K;
    }
    barL_.noalias() += gmu * ram.Anu.transpose();
    const Eigen::MatrixXd NA = N_ * ram.A;
    barA_.noalias() = NA * ram.Psi.transpose();
    barA_.noalias() += N_.transpose() * ram.A * ram.Psi;
    barA_.noalias() += h_ * ram.nu.transpose();
    barB_.noalias() = ram.A.transpose() * barA_ * ram.A.transpose();
    barPsi_.noalias() = ram.A.transpose() * NA;
    barNu_.noalias() = ram.A.transpose() * h_;
}

double MomentAdjoint::cell_adjoint(const FreeCell& c) const {
    switch (c.target) {
        case FactorTarget::L: return barL_(c.row, c.col);
        case FactorTarget::B: return barB_(c.row, c.col);
        case FactorTarget::Psi: return barPsi_(c.row, c.col);
        case FactorTarget::Theta: return G(c.row, c.col);
        case FactorTarget::ThetaPair: return G(c.row, c.col) + G(c.col, c.row);
        case FactorTarget::Tau: return gmu_[c.row];
        default: return barNu_[c.row];
    }
}

void MomentAdjoint::add_gradient(const std::vector<FreeCell>& cells,
                                 Eigen::Ref<Eigen::VectorXd> g) const {
    if (theta_ == nullptr) {
        for (const FreeCell& c : cells) g[c.param] += cell_adjoint(c);
        return;
    }
    Eigen::Index next = 0;
    for (const FreeCell& c : cells) {
        const bool theta = c.target == FactorTarget::Theta || c.target == FactorTarget::ThetaPair;
        g[c.param] += theta ? (*theta_)[next++] : cell_adjoint(c);
    }
}

// Differentiating each adjoint above along one parameter (dL, dB, dPsi, dnu
// its indicator arrays):
//   dA = A dB A,  dK = dA Psi A' + A dPsi A' + A Psi dA',  da = dA nu + A dnu,
//   dN = dL' G L + L' G dL,  dh = dL' gmu,
//   d chi_L   = G dL K' + G L dK' + G' dL K + G' L dK + gmu da'
//   d chi_A   = dN A Psi' + N dA Psi' + N A dPsi' + dN' A Psi + N' dA Psi
//               + N' A dPsi + dh nu' + h dnu'
//   d chi_B   = dA' chi_A A' + A' d chi_A A' + A' chi_A dA'
//   d chi_Psi = dA' N A + A' dN A + A' N dA,  d chi_nu = dA' h + A' dh.
// The loading entries are read cell by cell (a parameter has few cells,
// so G dL K' at a cell is a short sum), and the m x m products are small
// enough that coefficient-based evaluation beats the blocked kernels.
void MomentAdjoint::add_second_order(const std::vector<FreeCell>& cells,
                                     Eigen::MatrixXd& H) const {
    const RamForm& r = r_;
    const Eigen::MatrixXd& G = *G_;
    const Eigen::Index m = r.L.cols();
    bool any_B = false, any_Psi = false, any_Nu = false;
    // The cells each parameter's sweep reads: loadings, and those of the
    // latent side (B, Psi, nu); Theta and intercepts have no second order.
    std::vector<std::size_t> L_cells, latent_cells;
    for (std::size_t t = 0; t < cells.size(); ++t) {
        const FactorTarget target = cells[t].target;
        if (target == FactorTarget::L) L_cells.push_back(t);
        if (target == FactorTarget::B || target == FactorTarget::Psi ||
            target == FactorTarget::Nu) {
            latent_cells.push_back(t);
        }
        any_B |= target == FactorTarget::B;
        any_Psi |= target == FactorTarget::Psi;
        any_Nu |= target == FactorTarget::Nu;
    }
    const Eigen::MatrixXd& A = r.A;
    const Eigen::MatrixXd At = A.transpose(), Kt = r.K.transpose();
    const Eigen::MatrixXd U1t = U1_.transpose(), U2t = U2_.transpose();
    const Eigen::MatrixXd APt = A.lazyProduct(r.Psi.transpose());
    const Eigen::MatrixXd APs = A.lazyProduct(r.Psi);
    const Eigen::MatrixXd PsAt = r.Psi.lazyProduct(At);
    const Eigen::MatrixXd NA = N_.lazyProduct(A), NtA = N_.transpose().lazyProduct(A);
    const Eigen::MatrixXd AtbarA = At.lazyProduct(barA_);
    const Eigen::MatrixXd barAAt = barA_.lazyProduct(At);
    const Eigen::MatrixXd AtN = At.lazyProduct(N_);

    // A parameter with loadings only (the common case) reaches the latent
    // side through dN = sum e_j U1_i' + U2_i e_j' over its cells (i, j), whose
    // rank-one terms give each latent cell's entry as a few products of
    // rows precomputed here, instead of m x m products per parameter.
    Eigen::MatrixXd U1A, U2A, Q1, Q2, AQ;
    const bool latent_side = any_B || any_Psi || any_Nu;
    if (latent_side && !L_cells.empty()) {
        U1A.noalias() = U1_ * A;
        U2A.noalias() = U2_ * A;
        Q1.noalias() = APt * At;
        Q2.noalias() = APs * At;
        AQ.noalias() = U1_ * Q1;
        AQ.noalias() += U2_ * Q2;
    }

    Eigen::MatrixXd dN(m, m), dA(m, m), dPsi(m, m), dK(m, m), dKt(m, m), T(m, m);
    Eigen::MatrixXd dbarA(m, m), dbarB(m, m), dbarPsi(m, m);
    Eigen::VectorXd dh(m), dnu(m), da(m), dbarNu(m);

    std::size_t begin = 0;
    while (begin < cells.size()) {
        const int l = cells[begin].param;
        std::size_t end = begin;
        while (end < cells.size() && cells[end].param == l) ++end;
        const std::size_t first = begin;
        begin = end;
        bool hasL = false, hasB = false, hasPsi = false, hasNu = false;
        for (std::size_t t = first; t < end; ++t) {
            const FactorTarget target = cells[t].target;
            hasL |= target == FactorTarget::L;
            hasB |= target == FactorTarget::B;
            hasPsi |= target == FactorTarget::Psi;
            hasNu |= target == FactorTarget::Nu;
        }
        if (!(hasL || hasB || hasPsi || hasNu)) continue;
        auto add = [&](int k, double v) {
            if (k == l) {
                H(l, l) += v;
            } else {
                H(std::min(k, l), std::max(k, l)) += 0.5 * v;
            }
        };
        // d chi_L at cell (i, j) from l's loadings (i', c'):
        // sum of G(i, i') K(j, c') + G(i', i) K(c', j).
        auto loading_part = [&](int i, int j) {
            double v = 0.0;
            for (std::size_t t = first; t < end; ++t) {
                const FreeCell& s = cells[t];
                if (s.target != FactorTarget::L) continue;
                v += G(i, s.row) * r.K(j, s.col) + G(s.row, i) * r.K(s.col, j);
            }
            return v;
        };
        if (hasL && !(hasB || hasPsi || hasNu)) {
            for (std::size_t u : L_cells) {
                add(cells[u].param, loading_part(cells[u].row, cells[u].col));
            }
            for (std::size_t u : latent_cells) {
                const FreeCell& c = cells[u];
                const int a = c.row, b = c.col;
                double v = 0.0;
                for (std::size_t t = first; t < end; ++t) {
                    if (cells[t].target != FactorTarget::L) continue;
                    const int i = cells[t].row, j = cells[t].col;
                    switch (c.target) {
                        case FactorTarget::B:  // (A' dbarA A')(a, b)
                            v += A(j, a) * (AQ(i, b) + gmu_[i] * r.Anu[b]) + U2A(i, a) * Q1(j, b) +
                                 U1A(i, a) * Q2(j, b);
                            break;
                        case FactorTarget::Psi:  // (A' dN A)(a, b)
                            v += A(j, a) * U1A(i, b) + U2A(i, a) * A(j, b);
                            break;
                        default:  // Nu: (A' dh)(a)
                            v += gmu_[i] * A(j, a);
                            break;
                    }
                }
                add(c.param, v);
            }
            continue;
        }
        dN.setZero();
        dA.setZero();
        dPsi.setZero();
        dh.setZero();
        dnu.setZero();
        for (std::size_t t = first; t < end; ++t) {
            const FreeCell& c = cells[t];
            switch (c.target) {
                case FactorTarget::L:
                    dN.row(c.col) += U1_.row(c.row);
                    dN.col(c.col) += U2t.col(c.row);
                    dh[c.col] += gmu_[c.row];
                    break;
                case FactorTarget::B: dA.noalias() += A.col(c.row) * A.row(c.col); break;
                case FactorTarget::Psi: dPsi(c.row, c.col) += 1.0; break;
                case FactorTarget::Nu: dnu[c.row] += 1.0; break;
                default: break;
            }
        }

        const bool hasK = hasB || hasPsi;
        if (hasK) {
            dK.setZero();
            if (hasB) {
                dK.noalias() += dA.lazyProduct(PsAt);
                dK.noalias() += APs.lazyProduct(dA.transpose());
            }
            if (hasPsi) {
                T.noalias() = A.lazyProduct(dPsi);
                dK.noalias() += T.lazyProduct(At);
            }
            dKt = dK.transpose();
        }
        const bool hasA = hasB || hasNu;
        if (hasA) {
            da.setZero();
            if (hasB) da.noalias() += dA * r.nu;
            if (hasNu) da.noalias() += A * dnu;
        }

        if (latent_side) {
            dbarA.setZero();
            if (hasL) {
                dbarA.noalias() += dN.lazyProduct(APt);
                dbarA.noalias() += dN.transpose().lazyProduct(APs);
                dbarA.noalias() += dh * r.nu.transpose();
            }
            if (hasB) {
                T.noalias() = N_.lazyProduct(dA);
                dbarA.noalias() += T.lazyProduct(r.Psi.transpose());
                T.noalias() = N_.transpose().lazyProduct(dA);
                dbarA.noalias() += T.lazyProduct(r.Psi);
            }
            if (hasPsi) {
                dbarA.noalias() += NA.lazyProduct(dPsi.transpose());
                dbarA.noalias() += NtA.lazyProduct(dPsi);
            }
            if (hasNu) dbarA.noalias() += h_ * dnu.transpose();
        }
        if (any_B) {
            T.noalias() = At.lazyProduct(dbarA);
            dbarB.noalias() = T.lazyProduct(At);
            if (hasB) {
                dbarB.noalias() += dA.transpose().lazyProduct(barAAt);
                dbarB.noalias() += AtbarA.lazyProduct(dA.transpose());
            }
        }
        if (any_Psi) {
            dbarPsi.setZero();
            if (hasL) {
                T.noalias() = At.lazyProduct(dN);
                dbarPsi.noalias() += T.lazyProduct(A);
            }
            if (hasB) {
                dbarPsi.noalias() += dA.transpose().lazyProduct(NA);
                dbarPsi.noalias() += AtN.lazyProduct(dA);
            }
        }
        if (any_Nu) {
            dbarNu.setZero();
            if (hasB) dbarNu.noalias() += dA.transpose() * h_;
            if (hasL) dbarNu.noalias() += At * dh;
        }

        // d chi_L at cell (i, j): the loading part, then the dK and da parts.
        for (std::size_t u : L_cells) {
            const FreeCell& c = cells[u];
            const int i = c.row, j = c.col;
            double v = hasL ? loading_part(i, j) : 0.0;
            if (hasK) v += U1t.col(i).dot(dKt.col(j)) + U2t.col(i).dot(dK.col(j));
            if (hasA) v += gmu_[i] * da[j];
            add(c.param, v);
        }
        for (std::size_t u : latent_cells) {
            const FreeCell& c = cells[u];
            switch (c.target) {
                case FactorTarget::B: add(c.param, dbarB(c.row, c.col)); break;
                case FactorTarget::Psi: add(c.param, dbarPsi(c.row, c.col)); break;
                case FactorTarget::Nu: add(c.param, dbarNu[c.row]); break;
                default: break;
            }
        }
    }
}

}  // namespace sem
