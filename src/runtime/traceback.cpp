#include "runtime/traceback.hpp"

#include "runtime/handling.hpp"

namespace rt {

namespace {

// A frame made by `make`, put in front of the traceback of `pending`, which is then pending
// again. Whatever fails on the way is dropped: `pending` stays the exception reported.
template <class Make>
void add_entry(ErrorTriple pending, Make&& make) {
    Ref frame = make();
    PyErr_Clear();
    pending.restore();
    add_frame_entry(frame.get());
}

}  // namespace

void add_traceback_entry(PyObject* filename, const char* name, int line, PyObject* globals) {
    add_entry(ErrorTriple::fetch(), [&]() -> Ref {
        const char* file = PyUnicode_AsUTF8(filename);
        Ref code = file ? Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, name, line))) : Ref();
        if (!code) return {};
        return make_frame(code.get(), globals, FrameLocals(), current_frame());
    });
}

void add_code_traceback_entry(PyObject* code, PyObject* globals, const FrameLocals& locals) {
    add_entry(ErrorTriple::fetch(), [&]() -> Ref {
        // Under a profiler the function's own frame is running: the exception leaves that one.
        Ref running = Ref::borrow(current_frame());
        if (running && Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(running.get())))).get() == code)
            return running;
        return make_frame(code, globals, locals, running.get());
    });
}

}  // namespace rt
