#include "runtime/traceback.hpp"

#include <frameobject.h>

namespace rt {

void add_traceback_entry(PyObject* filename, const char* name, int line, PyObject* globals) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    const char* file = PyUnicode_AsUTF8(filename);
    Ref code = file ? Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, name, line))) : Ref();
    Ref frame;
    if (code)
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

void add_code_traceback_entry(PyObject* code, PyObject* globals) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr)));
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace rt
