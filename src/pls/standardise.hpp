#pragma once

#include <Eigen/Core>

namespace sem {

// Standardises every column in place: mean = sum / n, sd with the n - 1
// divisor. A column without spread relative to its own size (sd below
// kConstantColumn times its largest |entry|) becomes exact zeros, so that the
// decision and the result do not depend on the unit of measurement. A column
// whose entries are all the same finite value becomes zeros at once: its
// deviations from the rounded mean are pure rounding. Needs at least two
// rows.
constexpr double kConstantColumn = 1e-15;
void standardise_columns(Eigen::Ref<Eigen::MatrixXd> m);

}  // namespace sem
