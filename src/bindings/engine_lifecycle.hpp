#pragma once

// An engine object's life as Python sees it. `__new__` gives an empty shell;
// `__init__` or `__setstate__` puts an engine into it exactly once; nothing
// else may touch the shell until then, and nothing may put a second engine
// into it afterwards.
//
// The binding library lets every method load a shell that holds no engine:
// it hands out fresh raw storage (a leftover of placement-new constructors)
// and the method reads garbage. It also ignores a second `__init__` or
// `__setstate__` on a live object without a word. Both become TypeError here.

#include <string>
#include <typeinfo>
#include <utility>

#include <pybind11/pybind11.h>

#include "dwls/dwls_engine.hpp"
#include "ml/ml_engine.hpp"
#include "pls/pls_engine.hpp"

namespace sem::bindings {

// Throws TypeError when `src` is an object of the bound class `type` that
// holds no engine yet. Anything else is left for the usual argument check.
void require_live(pybind11::handle src, const std::type_info& type);

// The `self` of `__init__` and `__setstate__`: a shell of class Engine that
// holds no engine yet (a live one is refused with TypeError when loaded).
template <class Engine>
struct EmptyShell {
    pybind11::detail::value_and_holder v_h;
};

// Throws TypeError when `shell` already holds an engine.
void require_empty(const pybind11::detail::value_and_holder& shell, const std::type_info& type);

// The emptiness test is repeated here: converting the other arguments can
// run Python code (`__index__`, `__float__`) that fills the same shell
// first, and a second fill would leak the first engine and leave an
// instance the library can no longer deallocate.
template <class Engine>
void fill_shell(EmptyShell<Engine>& shell, Engine&& engine) {
    pybind11::detail::value_and_holder& v_h = shell.v_h;
    require_empty(v_h, typeid(Engine));
    v_h.value_ptr() = new Engine(std::move(engine));
    v_h.type->init_instance(v_h.inst, nullptr);
}

// The Python name of a bound class, for messages.
std::string class_name(const std::type_info& type);

// Mark for the `__init__` and `__setstate__` definitions that fill a shell:
// the library's debug builds warn about any other constructor as an old-style
// placement-new one. seal_engine_class clears the mark again.
using fills_shell = pybind11::detail::is_new_style_constructor;

// Called once every method of the class is bound: the shell-filling
// `__init__` and `__setstate__` become plain methods, so that the library's
// silent return for a live object does not pre-empt their own check, and the
// class becomes immutable, which in particular refuses `__class__`
// assignment between the engine classes (equal instance layout, different
// C++ objects).
void seal_engine_class(pybind11::handle cls);

// The library's common base class allocates instances for registered
// classes only and aborts the process when called directly; make that a
// TypeError. Must run before any class is bound, since a class copies its
// base's allocator when it is created.
void refuse_bare_base_instances();

}  // namespace sem::bindings

namespace pybind11::detail {

template <class Engine>
struct live_engine_caster : type_caster_base<Engine> {
    bool load(handle src, bool convert) {
        sem::bindings::require_live(src, typeid(Engine));
        return type_caster_base<Engine>::load(src, convert);
    }
};

template <>
struct type_caster<sem::MlEngine> : live_engine_caster<sem::MlEngine> {};
template <>
struct type_caster<sem::DwlsEngine> : live_engine_caster<sem::DwlsEngine> {};
template <>
struct type_caster<sem::PlsEngine> : live_engine_caster<sem::PlsEngine> {};

template <class Engine>
struct type_caster<sem::bindings::EmptyShell<Engine>> {
    using Shell = sem::bindings::EmptyShell<Engine>;

    bool load(handle src, bool) {
        const type_info* info = get_type_info(typeid(Engine));
        if (!src || !info || !PyObject_TypeCheck(src.ptr(), info->type)) return false;
        value.v_h = reinterpret_cast<instance*>(src.ptr())->get_value_and_holder(info, false);
        if (value.v_h.inst == nullptr) return false;  // its bool tests the value pointer
        sem::bindings::require_empty(value.v_h, typeid(Engine));
        return true;
    }

    template <typename T>
    static handle cast(T&&, return_value_policy, handle) {
        return none().release();  // never returned to Python
    }

    PYBIND11_TYPE_CASTER(Shell, make_caster<Engine>::name);
};

}  // namespace pybind11::detail
