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

    // The mappings that give a cell its value (the last one written to it)
    // and place a parameter there, as indices into mappings(), sorted by
    // parameter and then by cell (target, row, column). Kept up to date by
    // add_mapping, so that the derivatives need no sort per call.
    const std::vector<int>& free_writers() const { return free_writers_; }

private:
    struct CellKey {
        int id, row, col;
        bool operator<(const CellKey& o) const;
        bool operator==(const CellKey& o) const { return id == o.id && row == o.row && col == o.col; }
    };
    struct Writer {
        CellKey cell;
        int mapping;
    };
    CellKey key_of(int mapping) const;
    bool by_param(int a, int b) const;

    ModelDims dims_;
    std::vector<ParameterMapping> mappings_;
    std::vector<Writer> writers_;  // per cell, sorted by cell
    std::vector<int> free_writers_;
    Eigen::Index params_needed_all_ = 0;
    Eigen::Index params_needed_matrices_ = 0;
};

}  // namespace sem
