#pragma once

#include <Eigen/Core>

#include "model/model_description.hpp"

namespace sem {

// log|S| of the last sample covariance seen by the ML discrepancy, kept
// with a copy of S so that a different S refills it instead of silently
// reusing a stale value, and the lower Cholesky factor of (S + S') / 2
// through which the trace terms read S (empty when that matrix has none).
struct SampleCovCache {
    Eigen::MatrixXd S;
    Eigen::MatrixXd S_sym;   // (S + S') / 2
    Eigen::MatrixXd factor;
    double logdet_s = 0.0;
    int p = 0;
    bool valid = false;
};

class MlEngine {
public:
    MlEngine(const ModelDims& dims, bool meanstructure)
        : model_(dims), meanstructure_(meanstructure) {}

    const ModelDescription& model() const { return model_; }
    const ModelDims& dims() const { return model_.dims(); }
    bool meanstructure() const { return meanstructure_; }

    void add_mapping(const ParameterMapping& m) { model_.add_mapping(m); }

    SampleCovCache& sample_cov_cache() { return cache_; }
    const SampleCovCache& sample_cov_cache() const { return cache_; }

private:
    ModelDescription model_;
    bool meanstructure_;
    SampleCovCache cache_;
};

}  // namespace sem
