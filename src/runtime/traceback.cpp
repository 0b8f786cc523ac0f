#include "runtime/traceback.hpp"

#include "runtime/handling.hpp"

#include <frameobject.h>

namespace rt {

namespace {

// A frame for `code` in `globals`, put in front of the traceback of `pending`, which is then
// pending again. Whatever fails on the way is dropped: `pending` stays the exception reported.
void add_frame_entry(Ref code, PyObject* globals, ErrorTriple pending) {
    Ref frame;
    if (code && PyCode_Check(code.get()) && globals && PyDict_Check(globals))
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    pending.restore();
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace

void add_traceback_entry(PyObject* filename, const char* name, int line, PyObject* globals) {
    ErrorTriple pending = ErrorTriple::fetch();
    const char* file = PyUnicode_AsUTF8(filename);
    Ref code = file ? Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, name, line))) : Ref();
    add_frame_entry(std::move(code), globals, std::move(pending));
}

void add_code_traceback_entry(PyObject* code, PyObject* globals) {
    add_frame_entry(Ref::borrow(code), globals, ErrorTriple::fetch());
}

}  // namespace rt
