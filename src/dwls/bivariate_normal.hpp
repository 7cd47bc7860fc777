#pragma once

namespace sem {

// Standard normal distribution function through erfc.
double normal_cdf(double z);

// P(X <= a, Y <= b) for standard normals with correlation rho, by the
// 15-point Gauss-Kronrod rule over the correlation (no adaptive
// refinement); floored at 1e-15 except when |rho| < 1e-10, where it is the
// exact product. Finite for |rho| up to about 1.0043, NaN beyond.
double bivariate_normal_cdf(double a, double b, double rho);

// P(lo_x < X <= hi_x, lo_y < Y <= hi_y), floored at 1e-15 so that its
// logarithm stays finite; bounds may be infinite.
double rectangle_probability(double lo_x, double hi_x, double lo_y, double hi_y, double rho);

}  // namespace sem
