#pragma once

// The cross-product behind the polychorics' asymptotic covariance, behind a
// boundary of raw column-major arrays: gram_kernels.cpp is compiled once per
// instruction set, as the ML kernels are, and the dispatch picks one copy.

namespace sem {

struct GramKernels {
    // gamma[c0:, c0:c0+w] += scale * V[:, c0:]' V[:, c0:c0+w] on and below
    // the diagonal: V is rows x m with leading dimension ldv, gamma m x m.
    // The work for one panel of columns, so that panels can run in parallel
    // and every sum has the same order whatever the number of threads.
    void (*lower_gram_panel)(long rows, long m, const double* v, long ldv, long c0, long w,
                             double scale, double* gamma);
};

// The copy for this CPU, chosen on first use.
const GramKernels& gram_kernels();

}  // namespace sem
