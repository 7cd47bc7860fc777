#pragma once

// Boundary checks: inconsistent inputs that would read or write out of
// bounds become ValueError before any engine state or numerics are touched.

#include <Eigen/Core>

#include "model/model_description.hpp"

namespace sem::bindings {

ModelDims checked_dims(int nx, int ny, int nxi, int neta);
ParameterMapping checked_mapping(const ModelDims& dims, int matrix_id, int row, int col,
                                 bool is_free, int param_index, double value);
void check_params(const ModelDescription& model, Eigen::Index length, bool with_means = true);
void check_n_free(int n_free, Eigen::Index params_length);
void check_square(const char* name, Eigen::Index rows, Eigen::Index cols, Eigen::Index p);
void check_length(const char* name, Eigen::Index length, Eigen::Index expected);
// Every entry finite.
void check_finite(const char* name, const Eigen::Ref<const Eigen::VectorXd>& v);
// Every entry finite and both triangles equal up to rounding (a relative
// 1e-12): a factorisation reads one triangle, the trace terms read both.
void check_symmetric_finite(const char* name, const Eigen::Ref<const Eigen::MatrixXd>& m);

}  // namespace sem::bindings
