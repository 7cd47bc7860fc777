#include "model/model_description.hpp"

#include <algorithm>
#include <tuple>

namespace sem {

bool ModelDescription::CellKey::operator<(const CellKey& o) const {
    return std::tie(id, row, col) < std::tie(o.id, o.row, o.col);
}

ModelDescription::CellKey ModelDescription::key_of(int mapping) const {
    const ParameterMapping& m = mappings_[static_cast<std::size_t>(mapping)];
    return {m.matrix_id, m.row, is_vector_target(m.matrix_id) ? 0 : m.col};
}

bool ModelDescription::by_param(int a, int b) const {
    const int pa = mappings_[static_cast<std::size_t>(a)].param_index;
    const int pb = mappings_[static_cast<std::size_t>(b)].param_index;
    if (pa != pb) return pa < pb;
    return key_of(a) < key_of(b);
}

void ModelDescription::add_mapping(const ParameterMapping& m) {
    // Room first, so that nothing below can throw once the mapping is in.
    writers_.reserve(writers_.size() + 1);
    free_writers_.reserve(free_writers_.size() + 1);
    mappings_.push_back(m);
    if (m.is_free && is_known_target(m.matrix_id)) {
        const Eigen::Index need = static_cast<Eigen::Index>(m.param_index) + 1;
        params_needed_all_ = std::max(params_needed_all_, need);
        if (!is_vector_target(m.matrix_id)) {
            params_needed_matrices_ = std::max(params_needed_matrices_, need);
        }
    }
    if (!is_known_target(m.matrix_id)) return;

    const int k = static_cast<int>(mappings_.size()) - 1;
    const CellKey cell = key_of(k);
    auto w = std::lower_bound(writers_.begin(), writers_.end(), cell,
                              [](const Writer& a, const CellKey& c) { return a.cell < c; });
    if (w != writers_.end() && w->cell == cell) {
        const int old = w->mapping;
        const ParameterMapping& o = mappings_[static_cast<std::size_t>(old)];
        if (o.is_free && o.param_index >= 0) {
            auto f = std::lower_bound(free_writers_.begin(), free_writers_.end(), old,
                                      [this](int a, int b) { return by_param(a, b); });
            free_writers_.erase(f);
        }
        w->mapping = k;
    } else {
        writers_.insert(w, Writer{cell, k});
    }
    if (m.is_free && m.param_index >= 0) {
        auto f = std::lower_bound(free_writers_.begin(), free_writers_.end(), k,
                                  [this](int a, int b) { return by_param(a, b); });
        free_writers_.insert(f, k);
    }
}

}  // namespace sem
