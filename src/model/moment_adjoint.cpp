#include "model/moment_adjoint.hpp"

namespace sem {

// With K = A Psi A', a = A nu, N = L' G L and h = L' gmu:
//   chi_L   = G L K' + G' L K + gmu a'
//   chi_A   = N A Psi' + N' A Psi + h nu'
//   chi_B   = A' chi_A A'        (dA = A dB A)
//   chi_Psi = A' N A,  chi_nu = A' h,  chi_Theta = G,  chi_tau = gmu.
MomentAdjoint::MomentAdjoint(const RamForm& ram, const Eigen::MatrixXd& G,
                             const Eigen::VectorXd& gmu)
    : r_(ram), G_(G), gmu_(gmu) {
    U1_.noalias() = G * ram.L;
    U2_.noalias() = G.transpose() * ram.L;
    N_.noalias() = ram.L.transpose() * U1_;
    h_.noalias() = ram.L.transpose() * gmu;
    barL_.noalias() = U1_ * ram.K.transpose();
    barL_.noalias() += U2_ * ram.K;
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
        case FactorTarget::Theta: return G_(c.row, c.col);
        case FactorTarget::ThetaPair: return G_(c.row, c.col) + G_(c.col, c.row);
        case FactorTarget::Tau: return gmu_[c.row];
        default: return barNu_[c.row];
    }
}

void MomentAdjoint::add_gradient(const std::vector<FreeCell>& cells,
                                 Eigen::Ref<Eigen::VectorXd> g) const {
    for (const FreeCell& c : cells) g[c.param] += cell_adjoint(c);
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
Eigen::MatrixXd MomentAdjoint::second_order(const std::vector<FreeCell>& cells,
                                            int n_free) const {
    const RamForm& r = r_;
    const Eigen::Index p = r.L.rows(), m = r.L.cols();
    Eigen::MatrixXd H = Eigen::MatrixXd::Zero(n_free, n_free);
    bool any_L = false, any_B = false, any_Psi = false, any_Nu = false;
    for (const FreeCell& c : cells) {
        any_L |= c.target == FactorTarget::L;
        any_B |= c.target == FactorTarget::B;
        any_Psi |= c.target == FactorTarget::Psi;
        any_Nu |= c.target == FactorTarget::Nu;
    }
    const Eigen::MatrixXd APt = r.A * r.Psi.transpose();
    const Eigen::MatrixXd APs = r.A * r.Psi;
    const Eigen::MatrixXd PsAt = r.Psi * r.A.transpose();
    const Eigen::MatrixXd NA = N_ * r.A, NtA = N_.transpose() * r.A;
    const Eigen::MatrixXd AtbarA = r.A.transpose() * barA_;
    const Eigen::MatrixXd barAAt = barA_ * r.A.transpose();

    Eigen::MatrixXd Y1(p, m), Y2(p, m), dN(m, m), dA(m, m), dPsi(m, m), dK(m, m);
    Eigen::MatrixXd dbarL(p, m), dbarA(m, m), dbarB(m, m), dbarPsi(m, m), T(m, m);
    Eigen::VectorXd dh(m), dnu(m), da(m), dbarNu(m);

    std::size_t begin = 0;
    while (begin < cells.size()) {
        const int l = cells[begin].param;
        std::size_t end = begin;
        while (end < cells.size() && cells[end].param == l) ++end;
        bool hasL = false, hasB = false, hasPsi = false, hasNu = false;
        Y1.setZero();
        Y2.setZero();
        dN.setZero();
        dA.setZero();
        dPsi.setZero();
        dh.setZero();
        dnu.setZero();
        for (std::size_t t = begin; t < end; ++t) {
            const FreeCell& c = cells[t];
            switch (c.target) {
                case FactorTarget::L:
                    hasL = true;
                    Y1.col(c.col) += G_.col(c.row);
                    Y2.col(c.col) += G_.row(c.row).transpose();
                    dN.row(c.col) += U1_.row(c.row);
                    dN.col(c.col) += U2_.row(c.row).transpose();
                    dh[c.col] += gmu_[c.row];
                    break;
                case FactorTarget::B:
                    hasB = true;
                    dA.noalias() += r.A.col(c.row) * r.A.row(c.col);
                    break;
                case FactorTarget::Psi:
                    hasPsi = true;
                    dPsi(c.row, c.col) += 1.0;
                    break;
                case FactorTarget::Nu:
                    hasNu = true;
                    dnu[c.row] += 1.0;
                    break;
                default: break;
            }
        }
        begin = end;
        if (!(hasL || hasB || hasPsi || hasNu)) continue;

        const bool hasK = hasB || hasPsi;
        if (hasK) {
            dK.setZero();
            if (hasB) {
                dK.noalias() += dA * PsAt;
                dK.noalias() += APs * dA.transpose();
            }
            if (hasPsi) dK.noalias() += r.A * dPsi * r.A.transpose();
        }
        const bool hasA = hasB || hasNu;
        if (hasA) {
            da.setZero();
            if (hasB) da.noalias() += dA * r.nu;
            if (hasNu) da.noalias() += r.A * dnu;
        }

        if (any_L) {
            dbarL.setZero();
            if (hasL) {
                dbarL.noalias() += Y1 * r.K.transpose();
                dbarL.noalias() += Y2 * r.K;
            }
            if (hasK) {
                dbarL.noalias() += U1_ * dK.transpose();
                dbarL.noalias() += U2_ * dK;
            }
            if (hasA) dbarL.noalias() += gmu_ * da.transpose();
        }
        if (any_B || any_Psi || any_Nu) {
            dbarA.setZero();
            if (hasL) {
                dbarA.noalias() += dN * APt;
                dbarA.noalias() += dN.transpose() * APs;
                dbarA.noalias() += dh * r.nu.transpose();
            }
            if (hasB) {
                dbarA.noalias() += N_ * dA * r.Psi.transpose();
                dbarA.noalias() += N_.transpose() * dA * r.Psi;
            }
            if (hasPsi) {
                dbarA.noalias() += NA * dPsi.transpose();
                dbarA.noalias() += NtA * dPsi;
            }
            if (hasNu) dbarA.noalias() += h_ * dnu.transpose();
        }
        if (any_B) {
            T.noalias() = r.A.transpose() * dbarA;
            dbarB.noalias() = T * r.A.transpose();
            if (hasB) {
                dbarB.noalias() += dA.transpose() * barAAt;
                dbarB.noalias() += AtbarA * dA.transpose();
            }
        }
        if (any_Psi) {
            dbarPsi.setZero();
            if (hasL) dbarPsi.noalias() += r.A.transpose() * dN * r.A;
            if (hasB) {
                dbarPsi.noalias() += dA.transpose() * NA;
                dbarPsi.noalias() += r.A.transpose() * N_ * dA;
            }
        }
        if (any_Nu) {
            dbarNu.setZero();
            if (hasB) dbarNu.noalias() += dA.transpose() * h_;
            if (hasL) dbarNu.noalias() += r.A.transpose() * dh;
        }

        for (const FreeCell& c : cells) {
            double v;
            switch (c.target) {
                case FactorTarget::L: v = dbarL(c.row, c.col); break;
                case FactorTarget::B: v = dbarB(c.row, c.col); break;
                case FactorTarget::Psi: v = dbarPsi(c.row, c.col); break;
                case FactorTarget::Nu: v = dbarNu[c.row]; break;
                default: continue;
            }
            H(l, c.param) += v;
        }
    }
    return H;
}

}  // namespace sem
