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

py::tuple engine_reduction(py::handle cls, py::object state) {
    return py::make_tuple(py::module_::import("copyreg").attr("__newobj__"),
                          py::make_tuple(py::reinterpret_borrow<py::object>(cls)),
                          std::move(state));
}

StateReader::StateReader(const char* engine, const py::tuple& state, std::size_t size)
    : engine_(engine), state_(state) {
    if (state_.size() != size) {
        throw py::value_error("invalid " + engine_ + " state: expected " + std::to_string(size) +
                              " fields, got " + std::to_string(state_.size()));
    }
}

void StateReader::fail_type(const std::string& field, const char* expected, py::handle got) const {
    const std::string type = py::str(py::type::handle_of(got).attr("__name__"));
    throw py::type_error("invalid " + engine_ + " state: " + field + " must be " + expected +
                         ", got " + type);
}

int StateReader::integer(std::size_t i, const char* field) const {
    return value<int>(state_[i], field, "an int (32-bit)", false);
}

bool StateReader::flag(std::size_t i, const char* field) const {
    return value<bool>(state_[i], field, "a bool", false);
}

py::list StateReader::mapping_list(std::size_t i, const char* field) const {
    const py::handle h = state_[i];
    if (!py::isinstance<py::list>(h) && !py::isinstance<py::tuple>(h)) {
        fail_type(field, "a list of 6-tuples", h);
    }
    return py::list(py::reinterpret_borrow<py::object>(h));
}

ParameterMapping StateReader::mapping(const ModelDims& dims, py::handle item,
                                      const std::string& field) const {
    if (!py::isinstance<py::tuple>(item)) fail_type(field, "a tuple of 6 fields", item);
    const auto t = py::reinterpret_borrow<py::tuple>(item);
    if (t.size() != 6) {
        throw py::value_error("invalid " + engine_ + " state: " + field + " needs 6 fields, got " +
                              std::to_string(t.size()));
    }
    const auto at = [&](const char* name) { return field + "." + name; };
    const int matrix_id = value<int>(t[0], at("matrix_id"), "an int (32-bit)", false);
    const int row = value<int>(t[1], at("row"), "an int (32-bit)", false);
    const int col = value<int>(t[2], at("col"), "an int (32-bit)", false);
    const bool is_free = value<bool>(t[3], at("is_free"), "a bool", false);
    const int param_index = value<int>(t[4], at("param_index"), "an int (32-bit)", false);
    const double fixed = value<double>(t[5], at("value"), "a float", true);
    try {
        return checked_mapping(dims, matrix_id, row, col, is_free, param_index, fixed);
    } catch (const py::value_error& e) {
        throw py::value_error("invalid " + engine_ + " state: " + field + ": " + e.what());
    }
}

}  // namespace sem::bindings
