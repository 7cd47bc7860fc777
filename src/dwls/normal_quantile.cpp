#include "dwls/normal_quantile.hpp"

#include <cmath>

#include "dwls/bivariate_normal.hpp"

namespace sem {

namespace {

// Acklam's rational approximation (relative error about 1e-9), only the
// starting point: the Halley steps below bring it to full precision.
double first_guess(double p) {
    constexpr double a[] = {-3.969683028665376e+01, 2.209460984245205e+02,
                            -2.759285104469687e+02, 1.383577518672690e+02,
                            -3.066479806614716e+01, 2.506628277459239e+00};
    constexpr double b[] = {-5.447609879822406e+01, 1.615858368580409e+02,
                            -1.556989798598866e+02, 6.680131188771972e+01,
                            -1.328068155288572e+01};
    constexpr double c[] = {-7.784894002430293e-03, -3.223964580411365e-01,
                            -2.400758277161838e+00, -2.549732539343734e+00,
                            4.374664141464968e+00,  2.938163982698783e+00};
    constexpr double d[] = {7.784695709041462e-03, 3.224671290700398e-01,
                            2.445134137142996e+00, 3.754408661907416e+00};
    constexpr double p_low = 0.02425;
    if (p < p_low || p > 1.0 - p_low) {
        const double q = std::sqrt(-2.0 * std::log(p < p_low ? p : 1.0 - p));
        const double z = (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
                         ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
        return p < p_low ? z : -z;
    }
    const double q = p - 0.5, r = q * q;
    return (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
           (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0);
}

}  // namespace

double normal_quantile(double p) {
    if (!(p > 0.0 && p < 1.0)) {
        if (p == 0.0) return -INFINITY;
        if (p == 1.0) return INFINITY;
        return NAN;
    }
    // Work in the lower tail, where Phi(z) - p keeps its relative accuracy.
    const bool upper = p > 0.5;
    const double tail = upper ? 1.0 - p : p;
    double z = first_guess(tail);
    for (int step = 0; step < 3; ++step) {
        const double u = (normal_cdf(z) - tail) / normal_density(z);
        const double next = z - u / (1.0 + z * u / 2.0);
        if (next == z) break;
        z = next;
    }
    return upper ? -z : z;
}

}  // namespace sem
