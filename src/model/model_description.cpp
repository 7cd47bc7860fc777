#include "model/model_description.hpp"

#include <algorithm>

namespace sem {

void ModelDescription::add_mapping(const ParameterMapping& m) {
    mappings_.push_back(m);  // may throw; the counters below stay consistent
    if (m.is_free && is_known_target(m.matrix_id)) {
        const Eigen::Index need = static_cast<Eigen::Index>(m.param_index) + 1;
        params_needed_all_ = std::max(params_needed_all_, need);
        if (!is_vector_target(m.matrix_id)) {
            params_needed_matrices_ = std::max(params_needed_matrices_, need);
        }
    }
}

}  // namespace sem
