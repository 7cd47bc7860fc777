#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdio.h>

static const char *fake_version;

/* Shadows the interpreter's own, so the extension's version check sees it. */
const char *Py_GetVersion(void) { return fake_version; }

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    fake_version = argv[1];
    Py_Initialize();
    PyObject *sys_path = PySys_GetObject("path");
    PyObject *dir = PyUnicode_FromString(argv[2]);
    PyList_Insert(sys_path, 0, dir);
    Py_DECREF(dir);
    PyObject *mod = PyImport_ImportModule("_backend");
    if (mod) {
        printf("imported\n");
        Py_DECREF(mod);
    } else {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject *s = PyObject_Str(value);
        printf("%s: %s\n", ((PyTypeObject *)type)->tp_name, PyUnicode_AsUTF8(s));
        Py_XDECREF(s); Py_XDECREF(type); Py_XDECREF(value); Py_XDECREF(tb);
    }
    return Py_FinalizeEx() < 0 ? 1 : 0;
}
