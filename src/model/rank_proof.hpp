#pragma once

#include <algorithm>
#include <cmath>

// When a Cholesky factorisation proves what Eigen's FullPivLU rank test
// (default threshold) says of a matrix; the argument is written out in
// rank_tested_inverse.cpp. Internal linkage on purpose: the ML kernels are
// compiled once per instruction set, and the copies must not be merged.

namespace sem {
namespace {

struct SymmetryScan {
    bool usable;     // positive finite diagonal, asymmetry at rounding level only
    double max_abs;  // max |m_ij|
    double asym2;    // ||m - (lower triangle mirrored)||_F^2
};

// m: n x n, column-major with leading dimension ld.
inline SymmetryScan scan_symmetry(long n, const double* m, long ld) {
    SymmetryScan s{false, 0.0, 0.0};
    double d = -INFINITY;
    for (long i = 0; i < n; ++i) d = std::max(d, m[i * ld + i]);
    if (!(d > 0.0) || !std::isfinite(d)) return s;
    const double eps = std::ldexp(1.0, -52);
    const double asymmetry_tol = 8.0 * static_cast<double>(n) * eps * d;
    // Plain comparisons rather than std::max, whose references to the
    // accumulators kept them in memory through this p^2 loop.
    double max_abs = d, asym2 = 0.0;
    for (long j = 0; j < n; ++j) {
        for (long i = j + 1; i < n; ++i) {
            const double a = m[j * ld + i], b = m[i * ld + j], diff = std::abs(a - b);
            if (!(diff <= asymmetry_tol)) return s;
            asym2 += diff * diff;
            const double big = std::abs(a) > std::abs(b) ? std::abs(a) : std::abs(b);
            if (big > max_abs) max_abs = big;
        }
    }
    return {true, max_abs, asym2};
}

// trace: trace of the inverse computed from the Cholesky factor.
inline bool cholesky_proves_full_rank(long n, const SymmetryScan& s, double trace) {
    if (!(trace > 0.0) || !std::isfinite(trace)) return false;
    const double eps = std::ldexp(1.0, -52);
    const double nd = static_cast<double>(n);
    const double threshold = 4.0 * eps * s.max_abs * (nd * nd + nd * nd * nd);
    return 0.5 / trace - std::sqrt(s.asym2) > threshold;
}

}  // namespace
}  // namespace sem
