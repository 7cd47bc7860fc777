#include "dwls/bivariate_normal.hpp"

#include <algorithm>
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

// Gauss-Legendre rule of order 20 on [-1, 1]: the positive nodes and their
// weights (the rule is symmetric). Against an adaptive reference it keeps
// the high-correlation remainder below 1e-15 for 0.9 < |rho| <= 1.
constexpr int kLegendrePairs = 10;
constexpr double kLegendreNodes[kLegendrePairs] = {
    0.076526521133497333754640409399, 0.227785851141645078080496195369,
    0.373706088715419560672548177025, 0.510867001950827098004364050955,
    0.636053680726515025452836696226, 0.746331906460150792614305070356,
    0.839116971822218823394529061702, 0.912234428251325905867752441203,
    0.963971927277913791267666131197, 0.993128599185094924786122388471};
constexpr double kLegendreWeights[kLegendrePairs] = {
    0.152753387130725850698084331955, 0.149172986472603746787828737002,
    0.142096109318382051329298325067, 0.131688638449176626898494499748,
    0.118194531961518417312377377711, 0.101930119817240435036750135480,
    0.083276741576704748724758143222, 0.062672048334109063569506535187,
    0.040601429800386941331039952275, 0.017614007139152118311861962352};

constexpr double kTwoPi = 6.283185307179586;
// Terms whose exponent lies below this are under 4e-44 and dropped, which
// also keeps exp() away from overflow where a factor beside it vanishes.
constexpr double kNegligibleExponent = -100.0;

// Integral of the bivariate normal density at (a, b) over the correlation
// from rho to 1, for 0.9 < rho <= 1 and finite a, b. In the distance
// x = sqrt(1 - r^2) from the degenerate distribution the density becomes
//   exp(-((a - b)^2 / x^2 + ab) / 2) g(x),  g(x) = exp(-ab (1 - s) / (2 (1 + s))) / s,
// with s = sqrt(1 - x^2). The steep factor exp(-(a - b)^2 / (2 x^2)) times
// the expansion 1 + c x^2 + c d x^4 of g integrates in closed form; what is
// left is O(x^6) near the degenerate end and smooth enough for a fixed
// Gauss-Legendre rule.
double integral_to_degenerate(double a, double b, double rho) {
    const double xx_max = (1.0 - rho) * (1.0 + rho);
    const double x_max = std::sqrt(xx_max);
    const double ab = a * b;
    const double d2 = (a - b) * (a - b);
    const double c = (4.0 - ab) / 8.0;
    const double d = (12.0 - ab) / 16.0;
    double sum = 0.0;
    // Closed form, from J_n = int_0^X x^n exp(-d2 / (2 x^2)) dx and the
    // recursion (n + 1) J_n + d2 J_{n-2} = X^(n+1) exp(-d2 / (2 X^2)).
    if (x_max > 0.0) {
        const double e = -(d2 / xx_max + ab) / 2.0;
        if (e > kNegligibleExponent) {
            sum += x_max * std::exp(e) *
                   (1.0 + c * (1.0 - d * d2 / 5.0) * (xx_max - d2) / 3.0 +
                    c * d * xx_max * xx_max / 5.0);
        }
        // For ab < -160, exp(-ab / 2) would overflow against a vanishing
        // Phi(-|a - b| / X): (a - b)^2 >= 4 |ab| makes the product below
        // exp(-10 |ab|).
        if (ab > -160.0 && -ab / 2.0 > kNegligibleExponent) {
            const double dist = std::sqrt(d2);
            sum -= std::exp(-ab / 2.0) * std::sqrt(kTwoPi) * normal_cdf(-dist / x_max) * dist *
                   (1.0 - c * d2 * (1.0 - d * d2 / 5.0) / 3.0);
        }
        const double half = x_max / 2.0;
        for (int i = 0; i < kLegendrePairs; ++i) {
            for (const double node : {-kLegendreNodes[i], kLegendreNodes[i]}) {
                const double x = (node + 1.0) * half;
                const double xx = x * x;
                const double ex = -(d2 / xx + ab) / 2.0;
                if (ex > kNegligibleExponent) {
                    const double s = std::sqrt(1.0 - xx);
                    const double g = std::exp(-ab * (1.0 - s) / (2.0 * (1.0 + s))) / s;
                    sum += half * kLegendreWeights[i] * std::exp(ex) *
                           (g - (1.0 + c * xx * (1.0 + d * xx)));
                }
            }
        }
    }
    return sum / kTwoPi;
}

// Phi2(a, b, rho) for 0.9 < |rho| <= 1 from the degenerate distribution
// at rho = +-1 (Phi(min(a, b)), or the overlap P(-b < X <= a)) and the
// integral that separates it from rho; a, b finite or NaN.
double high_correlation_cdf(double a, double b, double rho) {
    if (std::isnan(a) || std::isnan(b)) return std::numeric_limits<double>::quiet_NaN();
    if (rho > 0.0) return normal_cdf(std::min(a, b)) - integral_to_degenerate(a, b, rho);
    // Phi2(a, b, rho) = Phi(a) - Phi2(a, -b, -rho); Phi(a) - Phi(min(a, -b))
    // is the overlap, taken from the two smaller tail values.
    double overlap = 0.0;
    if (a > -b) {
        overlap = b < 0.0 ? normal_cdf(b) - normal_cdf(-a) : normal_cdf(a) - normal_cdf(-b);
    }
    return overlap + integral_to_degenerate(a, -b, -rho);
}

bool high_correlation(double rho) {
    const double abs_rho = std::abs(rho);
    return abs_rho > 0.9 && abs_rho <= 1.0;
}

// Beyond 40 standard deviations a normal tail is below the smallest double,
// so such a threshold is an infinite one; taking it as such also keeps the
// high-correlation integral's powers of the thresholds from overflowing
// (from about 1e77 on they would turn the cell into NaN).
constexpr double kNormalRange = 40.0;
double within_normal_range(double t) {
    if (t > kNormalRange) return kInf;
    if (t < -kNormalRange) return -kInf;
    return t;
}

// The rules for an infinite bound (a NaN is not infinite); false when both
// bounds are finite or NaN.
bool infinite_bound_cdf(double a, double b, double& p) {
    if (a == kInf && b == kInf) {
        p = 1.0;
    } else if (a == -kInf || b == -kInf) {
        p = 0.0;
    } else if (a == kInf) {
        p = normal_cdf(b);
    } else if (b == kInf) {
        p = normal_cdf(a);
    } else {
        return false;
    }
    return true;
}

}  // namespace

double normal_cdf(double z) { return 0.5 * std::erfc(-z * 0.7071067811865476); }

double normal_density(double z) { return std::exp(-z * z / 2.0) / std::sqrt(kTwoPi); }

double bivariate_normal_cdf(double a, double b, double rho) {
    if (high_correlation(rho)) {
        a = within_normal_range(a);
        b = within_normal_range(b);
    }
    double p;
    if (infinite_bound_cdf(a, b, p)) return p;
    // The 15-point rule loses the tails as |rho| nears 1 (1e-5 at 0.99);
    // beyond 1 it is kept as it was (finite to about 1.0043, NaN after).
    if (high_correlation(rho)) return floored(high_correlation_cdf(a, b, rho));
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

Tails cell_tails(double lo_x, double hi_x, double lo_y, double hi_y, double rho) {
    if (!high_correlation(rho)) return {false, false};
    lo_x = within_normal_range(lo_x);
    hi_x = within_normal_range(hi_x);
    lo_y = within_normal_range(lo_y);
    hi_y = within_normal_range(hi_y);
    // Near rho = 1 the mass lies along X = Y, so a cell is small when one
    // interval lies beyond the other, or both far out along the line; the
    // corners from the tails away from the line are then small as well.
    // For rho < 0 the same holds for X and -Y, whose interval is -hi_y..-lo_y.
    const bool negative = rho < 0.0;
    const double lo_v = negative ? -hi_y : lo_y, hi_v = negative ? -lo_y : hi_y;
    Tails tails;
    if (hi_x <= lo_v) {
        tails = {false, true};
    } else if (hi_v <= lo_x) {
        tails = {true, false};
    } else {
        const bool upper = std::max(lo_x, lo_v) + std::min(hi_x, hi_v) > 0.0;
        tails = {upper, upper};
    }
    if (negative) tails.upper_y = !tails.upper_y;
    return tails;
}

double tail_cdf(double a, double b, double rho, Tails tails) {
    if (!high_correlation(rho)) return bivariate_normal_cdf(a, b, rho);
    a = within_normal_range(a);
    b = within_normal_range(b);
    // P(X > a, Y <= b) = Phi2(-a, b, -rho), and so on: (-X, Y) has
    // correlation -rho.
    const double ta = tails.upper_x ? -a : a;
    const double tb = tails.upper_y ? -b : b;
    const double t_rho = tails.upper_x != tails.upper_y ? -rho : rho;
    double p;
    if (infinite_bound_cdf(ta, tb, p)) return p;
    return high_correlation_cdf(ta, tb, t_rho);
}

double rectangle_from_corners(double p_hh, double p_lh, double p_hl, double p_ll) {
    return floored(((p_hh - p_lh) - p_hl) + p_ll);
}

double rectangle_probability(double lo_x, double hi_x, double lo_y, double hi_y, double rho) {
    const Tails tails = cell_tails(lo_x, hi_x, lo_y, hi_y, rho);
    return rectangle_from_tails(tails, [&](bool x_hi, bool y_hi) {
        return tail_cdf(x_hi ? hi_x : lo_x, y_hi ? hi_y : lo_y, rho, tails);
    });
}

}  // namespace sem
