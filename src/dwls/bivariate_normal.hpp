#pragma once

namespace sem {

// Standard normal distribution function through erfc.
double normal_cdf(double z);

// P(X <= a, Y <= b) for standard normals with correlation rho; floored at
// 1e-15 except when |rho| < 1e-10, where it is the exact product. For
// |rho| <= 0.9 (and beyond 1) by the 15-point Gauss-Kronrod rule over the
// correlation, accurate to about 3e-10 at 0.9; finite for |rho| up to
// about 1.0043, NaN beyond. For 0.9 < |rho| <= 1 by integration in the
// distance from the degenerate distribution, accurate to about 1e-15.
double bivariate_normal_cdf(double a, double b, double rho);

// P(lo_x < X <= hi_x, lo_y < Y <= hi_y), floored at 1e-15 so that its
// logarithm stays finite; bounds may be infinite.
double rectangle_probability(double lo_x, double hi_x, double lo_y, double hi_y, double rho);

// The same probability from the distribution function at the four corners
// (hi_x, hi_y), (lo_x, hi_y), (hi_x, lo_y), (lo_x, lo_y), for callers that
// share corners between cells.
double rectangle_from_corners(double p_hh, double p_lh, double p_hl, double p_ll);

}  // namespace sem
