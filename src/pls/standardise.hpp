#pragma once

#include <Eigen/Core>

namespace sem {

// Standardises every column in place: mean = sum / n, sd with the n - 1
// divisor, and an sd below 1e-15 replaced by 1 so that a column without
// spread is not blown up. A column whose entries are all the same finite
// value becomes exact zeros: its deviations from the rounded mean are pure
// rounding and can leave an sd above the guard (a constant 3.7 over 75 cases
// gives sd ~ 5e-15), which would turn it into a constant +-1 column.
// Needs at least two rows.
void standardise_columns(Eigen::Ref<Eigen::MatrixXd> m);

}  // namespace sem
