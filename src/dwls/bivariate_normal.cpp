#include "dwls/bivariate_normal.hpp"

#include <cmath>
#include <limits>

namespace sem {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kProbabilityFloor = 1e-15;

// The floor must not swallow a NaN (std::max would return the floor).
double floored(double p) { return p < kProbabilityFloor ? kProbabilityFloor : p; }

// Kronrod extension of the 7-point Gauss-Legendre rule on [-1, 1], nodes in
// increasing order. The rule integrates polynomials up to degree 22
// exactly; the weights sum to 2.
constexpr int kNodes = 15;
constexpr double kKronrodNodes[kNodes] = {
    -0.991455371120812639206854697526329, -0.949107912342758524526189684047851,
    -0.864864423359769072789712788640926, -0.741531185599394439863864773280788,
    -0.586087235467691130294144845693013, -0.405845151377397166906606412076961,
    -0.207784955007898467600689403773245, 0.0,
    0.207784955007898467600689403773245,  0.405845151377397166906606412076961,
    0.586087235467691130294144845693013,  0.741531185599394439863864773280788,
    0.864864423359769072789712788640926,  0.949107912342758524526189684047851,
    0.991455371120812639206854697526329};
constexpr double kKronrodWeights[kNodes] = {
    0.022935322010529224963732008058970, 0.063092092629978553290700663189204,
    0.104790010322250183839876322541518, 0.140653259715525918745189590510238,
    0.169004726639267902826583426598550, 0.190350578064785409913256402421014,
    0.204432940075298892414161999234649, 0.209482141084727828012999174891714,
    0.204432940075298892414161999234649, 0.190350578064785409913256402421014,
    0.169004726639267902826583426598550, 0.140653259715525918745189590510238,
    0.104790010322250183839876322541518, 0.063092092629978553290700663189204,
    0.022935322010529224963732008058970};

}  // namespace

double normal_cdf(double z) { return 0.5 * std::erfc(-z * 0.7071067811865476); }

double bivariate_normal_cdf(double a, double b, double rho) {
    if (a == kInf && b == kInf) return 1.0;
    if (a == -kInf || b == -kInf) return 0.0;
    if (a == kInf) return normal_cdf(b);
    if (b == kInf) return normal_cdf(a);
    const double P0 = normal_cdf(a) * normal_cdf(b);
    if (std::abs(rho) < 1e-10) return P0;
    // Phi2(a, b, rho) = Phi(a) Phi(b) + integral over r from 0 to rho of the
    // bivariate normal density at (a, b) with correlation r.
    const double h = rho / 2.0;
    const double ab = a * b;
    const double aa = a * a;
    const double bb = b * b;
    double S = 0.0;
    for (int k = 0; k < kNodes; ++k) {
        const double r = (kKronrodNodes[k] + 1.0) * h;
        const double one_minus_r2 = 1.0 - r * r;
        const double q = aa - 2.0 * r * ab + bb;
        S += kKronrodWeights[k] * std::exp(-q / (2.0 * one_minus_r2)) / std::sqrt(one_minus_r2);
    }
    return floored(S / 6.283185307179586 * h + P0);
}

double rectangle_probability(double lo_x, double hi_x, double lo_y, double hi_y, double rho) {
    const double p = ((bivariate_normal_cdf(hi_x, hi_y, rho) - bivariate_normal_cdf(lo_x, hi_y, rho)) -
                      bivariate_normal_cdf(hi_x, lo_y, rho)) +
                     bivariate_normal_cdf(lo_x, lo_y, rho);
    return floored(p);
}

}  // namespace sem
