// coro.__await__(), called from Python code: a separate iterator whose each step goes to the
// coroutine, as the interpreter's own coroutine_wrapper does.
#include "runtime/coroutine_object.hpp"

namespace rt::coroutine {

namespace {

struct Wrapper {
    PyObject_HEAD
    PyObject* coroutine;
};

PyObject* wrapped(PyObject* self) { return reinterpret_cast<Wrapper*>(self)->coroutine; }

void wrapper_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<Wrapper*>(self)->coroutine);
    PyObject_GC_Del(self);
}

int wrapper_traverse(PyObject* self, visitproc visitor, void* arg) { return visitor(wrapped(self), arg); }

PyObject* wrapper_iternext(PyObject* self) {
    PyObject* out = nullptr;
    const PySendResult status = send_ex(as_coroutine(wrapped(self)), Py_None, &out, Resumption::send, Closing::no);
    return next_result(status, out);
}

PySendResult wrapper_am_send(PyObject* self, PyObject* value, PyObject** out) {
    return coro_am_send(wrapped(self), value, out);
}

PyObject* wrapper_send(PyObject* self, PyObject* value) { return coro_send(wrapped(self), value); }
PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return coro_throw(wrapped(self), args, nargs);
}
PyObject* wrapper_close(PyObject* self, PyObject*) { return coro_close(wrapped(self), nullptr); }

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, kSendDoc},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper_throw)), METH_FASTCALL, kThrowDoc},
    {"close", wrapper_close, METH_NOARGS, kCloseDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods wrapper_as_async = {
    .am_send = wrapper_am_send,
};

PyTypeObject WrapperType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "coroutine_wrapper",
    .tp_basicsize = sizeof(Wrapper),
    .tp_dealloc = wrapper_dealloc,
    .tp_as_async = &wrapper_as_async,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = wrapper_traverse,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = wrapper_iternext,
    .tp_methods = wrapper_methods,
    .tp_free = PyObject_GC_Del,
};

}  // namespace

PyObject* new_wrapper(Coroutine* co) {
    auto* wrapper = PyObject_GC_New(Wrapper, &WrapperType);
    if (!wrapper) return nullptr;
    wrapper->coroutine = Ref::borrow(reinterpret_cast<PyObject*>(co)).release();
    PyObject_GC_Track(wrapper);
    return reinterpret_cast<PyObject*>(wrapper);
}

int ready_wrapper_type() { return PyType_Ready(&WrapperType); }

}  // namespace rt::coroutine
