#include "model/ram_form.hpp"

namespace sem {

RamForm ram_factors(const ModelDims& d, const ModelMatrices& m, const Eigen::MatrixXd& A_eta) {
    const Eigen::Index ny = d.ny, nx = d.nx, ne = d.neta, nk = d.nxi;
    const Eigen::Index p = ny + nx, n = ne + nk;
    RamForm r;
    r.L.setZero(p, n);
    r.L.topLeftCorner(ny, ne) = m.LambdaY;
    r.L.bottomRightCorner(nx, nk) = m.LambdaX;
    r.A.setZero(n, n);
    r.A.topLeftCorner(ne, ne) = A_eta;
    r.A.topRightCorner(ne, nk).noalias() = A_eta * m.Gamma;
    r.A.bottomRightCorner(nk, nk).setIdentity();
    r.Psi.setZero(n, n);
    r.Psi.topLeftCorner(ne, ne) = m.Psi;
    r.Psi.bottomRightCorner(nk, nk) = m.Phi;
    r.nu.resize(n);
    r.nu.head(ne) = m.Alpha;
    r.nu.tail(nk) = m.Kappa;
    const Eigen::MatrixXd APsi = r.A * r.Psi;
    r.K.noalias() = APsi * r.A.transpose();
    r.Anu.noalias() = r.A * r.nu;
    return r;
}

RamForm ram_form(const ModelDims& d, const ModelMatrices& m, const Eigen::MatrixXd& A_eta) {
    RamForm r = ram_factors(d, m, A_eta);
    r.LA.noalias() = r.L * r.A;
    r.LKt.noalias() = r.L * r.K.transpose();
    r.LK.noalias() = r.L * r.K;
    return r;
}

void mirror_adjoint_in_place(const ModelDims& d, Eigen::MatrixXd& G) {
    const Eigen::Index ny = d.ny, nx = d.nx;
    if (ny == 0 || nx == 0) return;
    G.topRightCorner(ny, nx) += G.bottomLeftCorner(nx, ny).transpose();
    G.bottomLeftCorner(nx, ny).setZero();
}

}  // namespace sem
