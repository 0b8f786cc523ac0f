#include "runtime/name.hpp"

namespace rt {

Ref load_global(PyObject* globals, PyObject* builtins, PyObject* name) {
    if (!name) return {};
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (!value && !PyErr_Occurred() && builtins) value = PyDict_GetItemWithError(builtins, name);
    if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref::borrow(value);
}

}  // namespace rt
