#include "runtime/immediate.hpp"

#include "runtime/coroutine.hpp"

namespace rt {

namespace {

class ImmediateBody final : public Body {
public:
    ImmediateBody(Immediate work, PyObject* const* locals, Py_ssize_t count) : work_(work), locals_(locals, count) {}
    Step resume(PyObject* received) override {
        if (!received) return Step::error();
        Ref result = Ref::steal(work_(locals_.data()));
        return result ? Step::done(std::move(result)) : Step::error();
    }
    int traverse(visitproc visitor, void* arg) override { return locals_.traverse(visitor, arg); }
    void frame_locals(FrameLocals& locals) const override { locals = FrameLocals(locals_.data(), locals_.size()); }
    static constexpr Py_ssize_t kMax = 12;

private:
    Immediate work_;
    RefArray<kMax> locals_;
};


}  // namespace

Ref make_immediate_coroutine(PyObject* code, PyObject* globals, Immediate work, PyObject* const* locals, Py_ssize_t count) {
    if (count > ImmediateBody::kMax) {
        PyErr_SetString(PyExc_SystemError, "too many locals for an immediate coroutine");
        return {};
    }
    return make_coroutine<ImmediateBody>(code, globals, work, locals, count);
}

PyObject* return_none(PyObject* const*) { return none().release(); }

}  // namespace rt
