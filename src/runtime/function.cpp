// The function type: a subtype of the interpreter's function whose objects carry its head field
// for field, with the slots, attributes and descriptor binding of a Python function, in the order
// of the type object. A call binds its arguments in binding.cpp.
#include "runtime/function.hpp"

#include "runtime/messages.hpp"
#include "runtime/name.hpp"

#include <structmember.h>

#include <cstddef>

namespace rt {

namespace {

const Name kName{"__name__"};
const Name kBuiltins{"__builtins__"};

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

// The builtins namespace a function made in `globals` sees, as the interpreter finds it; null
// with the error when the lookup raised.
Ref builtins_of(PyObject* globals) {
    PyObject* key = kBuiltins.get();
    PyObject* builtins = key ? PyDict_GetItemWithError(globals, key) : nullptr;
    if (!builtins && PyErr_Occurred()) return {};
    if (builtins && PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
    if (!builtins || !PyDict_Check(builtins)) builtins = PyEval_GetBuiltins();
    return Ref::borrow(builtins);
}

// The head must be the interpreter's, field for field.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(Ref) == sizeof(PyObject*));
static_assert(offsetof(Function, globals) == offsetof(PyFunctionObject, func_globals));
static_assert(offsetof(Function, builtins) == offsetof(PyFunctionObject, func_builtins));
static_assert(offsetof(Function, name) == offsetof(PyFunctionObject, func_name));
static_assert(offsetof(Function, qualname) == offsetof(PyFunctionObject, func_qualname));
static_assert(offsetof(Function, code) == offsetof(PyFunctionObject, func_code));
static_assert(offsetof(Function, defaults) == offsetof(PyFunctionObject, func_defaults));
static_assert(offsetof(Function, kwdefaults) == offsetof(PyFunctionObject, func_kwdefaults));
static_assert(offsetof(Function, closure) == offsetof(PyFunctionObject, func_closure));
static_assert(offsetof(Function, doc) == offsetof(PyFunctionObject, func_doc));
static_assert(offsetof(Function, dict) == offsetof(PyFunctionObject, func_dict));
static_assert(offsetof(Function, weakreflist) == offsetof(PyFunctionObject, func_weakreflist));
static_assert(offsetof(Function, module) == offsetof(PyFunctionObject, func_module));
static_assert(offsetof(Function, annotations) == offsetof(PyFunctionObject, func_annotations));
static_assert(offsetof(Function, vectorcall) == offsetof(PyFunctionObject, vectorcall));
static_assert(offsetof(Function, version) == offsetof(PyFunctionObject, func_version));
#pragma GCC diagnostic pop

// ---- the object ----

// As the interpreter clears its functions: the code stays and the names become empty strings, so
// that whatever still reaches the object meanwhile (a repr, an error message) finds them.
int function_clear(PyObject* self) {
    auto* fn = as_function(self);
    for (Ref* ref : {&fn->globals, &fn->builtins, &fn->defaults, &fn->kwdefaults, &fn->doc, &fn->dict,
                     &fn->module, &fn->annotations, &fn->closure})
        ref->reset();
    Ref empty = Ref::steal(PyUnicode_New(0, 0));
    if (!empty) {
        PyErr_Clear();
        return 0;
    }
    fn->name = empty;
    fn->qualname = empty;
    return 0;
}

// Through the trashcan: freeing a long chain of functions (each holding the next) must not
// exhaust the C stack.
void function_dealloc(PyObject* self) {
    auto* fn = as_function(self);
    PyObject_GC_UnTrack(fn);
    Py_TRASHCAN_BEGIN(fn, function_dealloc)
    if (fn->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    for (Ref* ref : {&fn->code, &fn->name, &fn->qualname, &fn->varnames}) ref->reset();
    Py_TYPE(fn)->tp_free(fn);
    Py_TRASHCAN_END
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname.get(), self);
}

int function_traverse(PyObject* self, visitproc visitor, void* arg) {
    auto* fn = as_function(self);
    for (const Ref* ref : {&fn->globals, &fn->builtins, &fn->name, &fn->qualname, &fn->code, &fn->defaults,
                           &fn->kwdefaults, &fn->doc, &fn->dict, &fn->module, &fn->annotations,
                           &fn->closure, &fn->varnames}) {
        if (int err = visit(*ref, visitor, arg)) return err;
    }
    return 0;
}

// copy, deepcopy and pickle take a function by reference: its qualified name, looked up in its module.
PyObject* function_reduce(PyObject* self, PyObject*) { return Ref(as_function(self)->qualname).release(); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
PyMemberDef function_members[] = {
    {"__closure__", T_OBJECT, offsetof(Function, closure), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__builtins__", T_OBJECT, offsetof(Function, builtins), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
#pragma GCC diagnostic pop

// ---- attributes, with the interpreter's type checks and messages ----

int type_error(const char* message) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
}

PyObject* get_code(PyObject* self, void*) { return Ref(as_function(self)->code).release(); }

PyObject* get_name(PyObject* self, void*) { return Ref(as_function(self)->name).release(); }
int set_name(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) return type_error(messages::kNameNotString);
    as_function(self)->name = Ref::borrow(value);
    return 0;
}

PyObject* get_qualname(PyObject* self, void*) { return Ref(as_function(self)->qualname).release(); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) return type_error(messages::kQualnameNotString);
    as_function(self)->qualname = Ref::borrow(value);
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
    auto* fn = as_function(self);
    return Ref(fn->defaults ? fn->defaults : none()).release();
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) return type_error("__defaults__ must be set to a tuple object");
    as_function(self)->defaults = Ref::borrow(value);
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    auto* fn = as_function(self);
    return Ref(fn->kwdefaults ? fn->kwdefaults : none()).release();
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) return type_error("__kwdefaults__ must be set to a dict object");
    as_function(self)->kwdefaults = Ref::borrow(value);
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    auto* fn = as_function(self);
    if (!fn->annotations) {
        fn->annotations = Ref::steal(PyDict_New());
        if (!fn->annotations) return nullptr;
    }
    return Ref(fn->annotations).release();
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) return type_error("__annotations__ must be set to a dict object");
    as_function(self)->annotations = Ref::borrow(value);
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* function_descr_get(PyObject* fn, PyObject* obj, PyObject*) {
    if (obj == Py_None || obj == nullptr) return Ref::borrow(fn).release();
    return PyMethod_New(fn, obj);
}


}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
PyTypeObject FunctionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "function",
    .tp_basicsize = sizeof(Function),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(Function, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_setattro = PyObject_GenericSetAttr,
    // Made only by make_function: the inherited constructor would make the interpreter's own kind.
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_weaklistoffset = offsetof(Function, weakreflist),
    .tp_methods = function_methods,
    .tp_members = function_members,
    .tp_getset = function_getset,
    .tp_descr_get = function_descr_get,
    .tp_dictoffset = offsetof(Function, dict),
    .tp_free = PyObject_GC_Del,
};
#pragma GCC diagnostic pop

int ready_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return 0;
    FunctionType.tp_base = &PyFunction_Type;
    return PyType_Ready(&FunctionType);
}

Ref make_function(const FunctionParts& parts) {
    auto* code = reinterpret_cast<PyCodeObject*>(parts.code);
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(Function, &FunctionType)));
    if (!self) return {};
    auto* fn = reinterpret_cast<Function*>(self.get());
    // PyObject_GC_New leaves the body uninitialised: construct the handles in place.
    new (&fn->globals) Ref();
    new (&fn->builtins) Ref();
    new (&fn->name) Ref();
    new (&fn->qualname) Ref();
    new (&fn->code) Ref();
    new (&fn->defaults) Ref();
    new (&fn->kwdefaults) Ref();
    new (&fn->doc) Ref();
    new (&fn->dict) Ref();
    new (&fn->module) Ref();
    new (&fn->annotations) Ref();
    new (&fn->closure) Ref();
    new (&fn->varnames) Ref();
    fn->weakreflist = nullptr;
    fn->version = 0;
    fn->bound = parts.bound;
    fn->vectorcall = parts.raw ? parts.raw : detail::bind_and_call;
    fn->argcount = code->co_argcount;
    fn->posonly = code->co_posonlyargcount;
    fn->varargs = code->co_flags & CO_VARARGS;
    fn->varkw = code->co_flags & CO_VARKEYWORDS;
    fn->code = Ref::borrow(parts.code);
    fn->globals = Ref::borrow(parts.globals);
    fn->builtins = builtins_of(parts.globals);
    if (!fn->builtins) return {};
    fn->name = Ref::borrow(code->co_name);
    fn->qualname = Ref::borrow(parts.qualname ? parts.qualname : code->co_qualname);
    fn->doc = Ref::borrow(parts.doc ? parts.doc : Py_None);
    fn->defaults = Ref::borrow(parts.defaults);
    fn->annotations = Ref::borrow(parts.annotations);
    fn->closure = Ref::borrow(parts.closure);
    fn->varnames = Ref::steal(PyObject_GetAttrString(parts.code, "co_varnames"));
    if (!fn->varnames) return {};
    if (fn->argcount + 2 > detail::kMaxBoundSlots) {
        PyErr_SetString(PyExc_SystemError, "too many parameters for a native function");
        return {};
    }
    // As the interpreter reads it: an error of the lookup (a key whose comparison raises) propagates.
    PyObject* module_key = kName.get();
    if (!module_key) return {};
    fn->module = Ref::borrow(PyDict_GetItemWithError(parts.globals, module_key));
    if (!fn->module && PyErr_Occurred()) return {};
    PyObject_GC_Track(fn);
    return self;
}


}  // namespace rt
