// Compiled once per instruction set, like the ML kernels: only raw arrays
// leave this file.

#include "kernels/gram_kernels.hpp"

#include <Eigen/Core>

namespace sem::SEM_KERNEL_ISA {

namespace {

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::OuterStride;

void lower_gram_panel(long rows, long m, const double* v, long ldv, long c0, long w, double scale,
                      double* gamma) {
    const Eigen::Map<const MatrixXd, 0, OuterStride<>> V(v, rows, m, OuterStride<>(ldv));
    Eigen::Map<MatrixXd> G(gamma, m, m);
    G.block(c0, c0, w, w)
        .selfadjointView<Eigen::Lower>()
        .rankUpdate(V.middleCols(c0, w).transpose(), scale);
    const Index below = m - c0 - w;
    if (below > 0) {
        G.block(c0 + w, c0, below, w).noalias() +=
            scale * (V.middleCols(c0 + w, below).transpose() * V.middleCols(c0, w));
    }
}

}  // namespace

const GramKernels& gram_kernels() {
    static const GramKernels table{&lower_gram_panel};
    return table;
}

}  // namespace sem::SEM_KERNEL_ISA
