#pragma once

namespace sem {

// Phi^-1(p) for 0 < p < 1 to within a few ulps: a rational first guess
// refined by Halley steps on erfc. Callers with p near 1 should pass the
// upper tail instead (Phi^-1(p) = -Phi^-1(1 - p)), where 1 - p is exact.
double normal_quantile(double p);

}  // namespace sem
