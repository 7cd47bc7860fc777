#include "bindings/engine_lifecycle.hpp"

namespace py = pybind11;

namespace sem::bindings {

std::string class_name(const std::type_info& type) {
    const py::detail::type_info* info = py::detail::get_type_info(type);
    return info ? std::string(info->type->tp_name) : std::string("engine");
}

void require_live(py::handle src, const std::type_info& type) {
    const py::detail::type_info* info = py::detail::get_type_info(type);
    if (!src || !info || !PyObject_TypeCheck(src.ptr(), info->type)) return;
    const py::detail::value_and_holder v_h =
        reinterpret_cast<py::detail::instance*>(src.ptr())->get_value_and_holder(info, false);
    if (v_h && v_h.holder_constructed()) return;
    throw py::type_error(class_name(type) +
                         " object holds no engine: it was made by __new__ and neither "
                         "__init__ nor __setstate__ succeeded on it");
}

void require_empty(const py::detail::value_and_holder& shell, const std::type_info& type) {
    if (!shell.holder_constructed()) return;
    throw py::type_error(class_name(type) +
                         " object is already initialised: an engine is built once and its "
                         "dimensions never change");
}

namespace {

void make_plain_method(py::handle cls, const char* name) {
    const py::handle method = py::detail::get_function(
        PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict, name));
    if (!method || !PyCFunction_Check(method.ptr())) {
        py::pybind11_fail(std::string("seal_engine_class: no bound ") + name);
    }
    for (py::detail::function_record* rec =
             py::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(method.ptr()));
         rec != nullptr; rec = rec->next) {
        rec->is_constructor = false;
        rec->is_new_style_constructor = false;
    }
}

extern "C" PyObject* new_for_registered_only(PyTypeObject* type, PyObject* args,
                                             PyObject* kwargs) {
    try {
        if (py::detail::all_type_info(type).empty()) {
            PyErr_Format(PyExc_TypeError,
                         "cannot create '%s' instances: it is only the base of bound classes",
                         type->tp_name);
            return nullptr;
        }
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
    return py::detail::pybind11_object_new(type, args, kwargs);
}

}  // namespace

void seal_engine_class(py::handle cls) {
    make_plain_method(cls, "__init__");
    make_plain_method(cls, "__setstate__");
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(type);
}

void refuse_bare_base_instances() {
    auto* base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
    // Only a base this module's copy of the library made: another extension's
    // base may come from a different release of the library.
    if (base->tp_new == py::detail::pybind11_object_new) base->tp_new = new_for_registered_only;
}

}  // namespace sem::bindings
