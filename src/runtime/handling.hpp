// Exceptions as native code holds them: the pending one taken and put back, and an `except`
// block's view of the one it handles.
#pragma once

#include "runtime/ref.hpp"

namespace rt {

// An exception as (type, value, traceback), the form in which the interpreter's C API passes a
// raised exception around.
struct ErrorTriple {
    Ref type, value, tb;

    // The pending exception, taken as it stands (all null when none was pending).
    static ErrorTriple fetch() {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        return {Ref::steal(type), Ref::steal(value), Ref::steal(tb)};
    }
    // The value made an instance of the type, as raising it does.
    void normalize() {
        PyObject *t = type.release(), *v = value.release(), *b = tb.release();
        PyErr_NormalizeException(&t, &v, &b);
        type = Ref::steal(t);
        value = Ref::steal(v);
        tb = Ref::steal(b);
    }
    // Pending again, in place of any exception raised meanwhile.
    void restore() { PyErr_Restore(type.release(), value.release(), tb.release()); }
};

// The pending exception, normalized and with its traceback attached; null when none was pending.
inline Ref take_exception() {
    ErrorTriple error = ErrorTriple::fetch();
    error.normalize();
    if (error.value && error.tb) PyException_SetTraceback(error.value.get(), error.tb.get());
    return std::move(error.value);
}

// Takes the pending exception and makes it the exception being handled (what a new error is
// chained to) until the scope ends, when the one handled before comes back.
class Handling {
public:
    Handling() : error_(take_exception()), previous_(Ref::steal(PyErr_GetHandledException())) {
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
        ErrorTriple{Ref::borrow(type), error_, Ref::steal(PyException_GetTraceback(error_.get()))}.restore();
    }

private:
    Ref error_;
    Ref previous_;
};

}  // namespace rt
