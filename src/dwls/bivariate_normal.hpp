#pragma once

namespace sem {

// Standard normal distribution function through erfc.
double normal_cdf(double z);

// Standard normal density.
double normal_density(double z);

// P(X <= a, Y <= b) for standard normals with correlation rho; floored at
// 1e-15 except when |rho| < 1e-10, where it is the exact product. For
// |rho| <= 0.9 (and beyond 1) by the 15-point Gauss-Kronrod rule over the
// correlation, accurate to about 3e-10 at 0.9; finite for |rho| up to
// about 1.0043, NaN beyond. For 0.9 < |rho| <= 1 by integration in the
// distance from the degenerate distribution, accurate to about 1e-15;
// there a threshold beyond +-40 counts as infinite.
double bivariate_normal_cdf(double a, double b, double rho);

// P(lo_x < X <= hi_x, lo_y < Y <= hi_y), floored at 1e-15 so that its
// logarithm stays finite; bounds may be infinite. For 0.9 < |rho| <= 1 the
// unfloored distribution function is taken from the tails that keep a
// small cell's relative accuracy (see cell_tails).
double rectangle_probability(double lo_x, double hi_x, double lo_y, double hi_y, double rho);

// The tail each side of a cell is measured from: P(X > a) rather than
// P(X <= a) where upper_x, likewise for Y. Both false for |rho| <= 0.9 and
// beyond 1; otherwise the tails that make the corner values small where
// the cell is.
struct Tails {
    bool upper_x, upper_y;
};
Tails cell_tails(double lo_x, double hi_x, double lo_y, double hi_y, double rho);

// P(X <= a, Y <= b) with each inequality reversed where `tails` says so;
// for |rho| <= 0.9 and beyond 1 (both tails lower) bivariate_normal_cdf,
// otherwise unfloored.
double tail_cdf(double a, double b, double rho, Tails tails);

// ((p_hh - p_lh) - p_hl) + p_ll floored at 1e-15.
double rectangle_from_corners(double p_hh, double p_lh, double p_hl, double p_ll);

// The rectangle from tail_cdf at its corners, corner(x_hi, y_hi) giving the
// value at (hi_x or lo_x, hi_y or lo_y): for callers that share corners
// between cells. On a lower side the upper bound counts positive, on an
// upper side the lower bound.
template <class Corner>
double rectangle_from_tails(Tails tails, const Corner& corner) {
    const bool px = !tails.upper_x, py = !tails.upper_y;
    return rectangle_from_corners(corner(px, py), corner(!px, py), corner(px, !py),
                                  corner(!px, !py));
}

}  // namespace sem
