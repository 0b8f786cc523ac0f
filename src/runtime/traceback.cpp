#include "runtime/traceback.hpp"

#include <frameobject.h>

namespace rt {

namespace {

// A frame for `code` in `globals`, put in front of the pending exception's traceback. Whatever
// fails on the way is dropped: the pending exception stays the one reported.
void add_frame_entry(Ref code, PyObject* globals, PyObject* type, PyObject* value, PyObject* tb) {
    Ref frame;
    if (code && PyCode_Check(code.get()) && globals && PyDict_Check(globals))
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace

void add_traceback_entry(PyObject* filename, const char* name, int line, PyObject* globals) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    const char* file = PyUnicode_AsUTF8(filename);
    Ref code = file ? Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, name, line))) : Ref();
    add_frame_entry(std::move(code), globals, type, value, tb);
}

void add_code_traceback_entry(PyObject* code, PyObject* globals) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    add_frame_entry(Ref::borrow(code), globals, type, value, tb);
}

}  // namespace rt
