#include "bindings/real_arrays.hpp"

namespace py = pybind11;

namespace sem::bindings {

namespace {

bool real_kind(char kind) { return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f'; }

bool real_item(py::handle item) {
    PyObject* o = item.ptr();
    return PyNumber_Check(o) && !PyComplex_Check(o) && !PyUnicode_Check(o) && !PyBytes_Check(o);
}

}  // namespace

bool holds_real_numbers(py::handle src) {
    if (py::isinstance<py::array>(src)) {
        const char kind = py::reinterpret_borrow<py::array>(src).dtype().kind();
        if (real_kind(kind)) return true;
    }
    const py::array a = py::array::ensure(src);
    if (!a) return false;
    const char kind = a.dtype().kind();
    if (real_kind(kind)) return true;
    if (kind != 'O') return false;
    const py::object items = a.attr("flat");
    for (const py::handle item : items) {
        if (!real_item(item)) return false;
    }
    return true;
}

}  // namespace sem::bindings
