#include "runtime/immediate.hpp"

#include "runtime/coroutine.hpp"
#include "runtime/handling.hpp"

namespace rt {

namespace {

// The arguments live in the coroutine's frame, which the work reads as its variables.
class ImmediateBody final : public Body {
public:
    explicit ImmediateBody(Immediate work) : work_(work) {}
    Step resume(PyObject* received) override {
        if (!received) return Step::error();
        Ref result = Ref::steal(work_(running_frame()->slots()));
        return result ? Step::done(std::move(result)) : Step::error();
    }
    int traverse(visitproc, void*) override { return 0; }
    // A `**kwargs` the call left empty is the empty dict the interpreter would have made.
    void fill_frame(InterpreterFrame* frame) const override {
        auto* code = reinterpret_cast<PyCodeObject*>(frame->code);
        if (!(code->co_flags & CO_VARKEYWORDS)) return;
        const int at = code->co_argcount + code->co_kwonlyargcount + (code->co_flags & CO_VARARGS ? 1 : 0);
        if (frame->slots()[at]) return;
        ErrorTriple pending = ErrorTriple::fetch();
        frame->slots()[at] = PyDict_New();
        PyErr_Clear();
        pending.restore();
    }

private:
    Immediate work_;
};


}  // namespace

Ref make_immediate_coroutine(PyObject* func, Immediate work, PyObject* const* locals, Py_ssize_t count) {
    return make_coroutine<ImmediateBody>(func, locals, count, work);
}

PyObject* return_none(PyObject* const*) { return none().release(); }

}  // namespace rt
