// The code objects that describe the module's functions to introspection: a signature, names
// and a first line, and no bytecode that ever runs.
#include "runtime/function.hpp"

namespace rt {

namespace {

constexpr int kOptimized = 0x0001;   // CO_OPTIMIZED
constexpr int kNewLocals = 0x0002;   // CO_NEWLOCALS

Ref names_tuple(std::span<const char* const> names) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) return {};
    for (size_t i = 0; i < names.size(); ++i) {
        PyObject* name = PyUnicode_InternFromString(names[i]);
        if (!name) return {};
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
    }
    return tuple;
}

}  // namespace

Ref make_code(PyObject* filename, const CodeShape& shape) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(
        PyUnicode_AsUTF8(filename), shape.name, shape.first_line)));
    if (!code) return {};
    Ref varnames = names_tuple(shape.varnames);
    Ref freevars = names_tuple(shape.freevars);
    Ref cellvars = names_tuple(shape.cellvars);
    Ref qualname = Ref::steal(PyUnicode_FromString(shape.qualname));
    if (!varnames || !freevars || !cellvars || !qualname) return {};
    int flags = kOptimized | kNewLocals;
    if (shape.varargs) flags |= CO_VARARGS;
    if (shape.varkw) flags |= CO_VARKEYWORDS;
    if (shape.nested) flags |= CO_NESTED;
    if (shape.coroutine) flags |= CO_COROUTINE;
    Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
    Ref kwargs = Ref::steal(Py_BuildValue(
        "{s:i,s:i,s:i,s:n,s:i,s:O,s:O,s:O,s:O}", "co_argcount", shape.argcount, "co_posonlyargcount",
        shape.posonly, "co_kwonlyargcount", 0, "co_nlocals", PyTuple_GET_SIZE(varnames.get()), "co_flags",
        flags, "co_varnames", varnames.get(), "co_freevars", freevars.get(), "co_cellvars", cellvars.get(),
        "co_qualname", qualname.get()));
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!replace || !kwargs || !empty) return {};
    return Ref::steal(PyObject_Call(replace.get(), empty.get(), kwargs.get()));
}

}  // namespace rt
