#pragma once

#include <vector>

#include "model/parameter_mapping.hpp"

namespace sem {

// Dimensions and the mappings registered on an engine, in insertion order.
// Only validated mappings enter (see mapping_error), so every placement
// stays inside its target.
class ModelDescription {
public:
    explicit ModelDescription(const ModelDims& dims) : dims_(dims) {}

    const ModelDims& dims() const { return dims_; }
    const std::vector<ParameterMapping>& mappings() const { return mappings_; }

    void add_mapping(const ParameterMapping& m);

    // Smallest length of a parameter vector that covers every free mapping
    // that is placed (with_means: also those into the mean vectors).
    Eigen::Index params_needed(bool with_means = true) const {
        return with_means ? params_needed_all_ : params_needed_matrices_;
    }

private:
    ModelDims dims_;
    std::vector<ParameterMapping> mappings_;
    Eigen::Index params_needed_all_ = 0;
    Eigen::Index params_needed_matrices_ = 0;
};

}  // namespace sem
