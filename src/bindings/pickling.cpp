#include "bindings/pickling.hpp"

#include <string>

namespace py = pybind11;

namespace sem::bindings {

py::list mappings_state(const ModelDescription& model) {
    py::list out;
    for (const ParameterMapping& m : model.mappings()) {
        out.append(py::make_tuple(m.matrix_id, m.row, m.col, m.is_free, m.param_index, m.value));
    }
    return out;
}

void check_state(const py::tuple& state, std::size_t size, const char* what) {
    if (state.size() != size) {
        throw py::value_error(std::string("invalid ") + what + " state: expected " +
                              std::to_string(size) + " fields, got " +
                              std::to_string(state.size()));
    }
}

}  // namespace sem::bindings
