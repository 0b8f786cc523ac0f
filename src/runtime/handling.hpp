// An `except` block's view of the exception it handles.
#pragma once

#include "runtime/ref.hpp"

namespace rt {

// Takes the pending exception, normalized and with its traceback attached, and makes it the
// exception being handled (what a new error is chained to) until the scope ends, when the one
// handled before comes back.
class Handling {
public:
    Handling() {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        Ref owned_type = Ref::steal(type), owned_tb = Ref::steal(tb);
        error_ = Ref::steal(value);
        if (error_ && owned_tb) PyException_SetTraceback(error_.get(), owned_tb.get());
        previous_ = Ref::steal(PyErr_GetHandledException());
        PyErr_SetHandledException(error_.get());
    }
    ~Handling() { PyErr_SetHandledException(previous_.get()); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

    PyObject* error() const { return error_.get(); }
    // `raise`: the handled exception is pending again.
    void reraise() {
        if (!error_) return;
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error_.get()));
        PyErr_Restore(Ref::borrow(type).release(), Ref(error_).release(), PyException_GetTraceback(error_.get()));
    }

private:
    Ref error_;
    Ref previous_;
};

}  // namespace rt
