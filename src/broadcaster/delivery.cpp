#include "broadcaster/delivery.hpp"

#include "broadcaster/broadcaster.hpp"
#include "broadcaster/hooks.hpp"
#include "runtime/coroutine.hpp"
#include "runtime/name.hpp"

namespace broadcaster {

using rt::Ref;
using rt::Step;

namespace {

const rt::Name kJson{"json"};
const rt::Name kDumps{"dumps"};

PyObject* ensure_ascii_keyword() {
    static PyObject* names = nullptr;
    if (!names) names = Py_BuildValue("(s)", "ensure_ascii");
    return names;
}

PyObject* return_none(PyObject* const*) { return rt::none().release(); }

// send_json_async: the text is made before the only suspension, the await of the host's hook.
class SendJson final : public rt::Body {
public:
    SendJson(rt::Function* fn, PyObject* const* locals)
        : fn_(Ref::borrow(reinterpret_cast<PyObject*>(fn))),
          cls_(Ref::borrow(locals[0])),
          websocket_(Ref::borrow(locals[1])),
          content_(Ref::borrow(locals[2])) {}

    Step resume(PyObject* received) override {
        if (!received) return Step::error();
        if (sent_) return Step::done(rt::none());
        sent_ = true;
        Ref message = json_text(reinterpret_cast<rt::Function*>(fn_.get()), content_.get());
        if (!message) return Step::error();
        Ref awaitable = call_hook(cls_.get(), Hook::send_message_async, {websocket_.get(), message.get()});
        return awaitable ? Step::wait_for(std::move(awaitable)) : Step::error();
    }

    int traverse(visitproc visitor, void* arg) override {
        for (const Ref* ref : {&fn_, &cls_, &websocket_, &content_})
            if (int err = rt::visit(*ref, visitor, arg)) return err;
        return 0;
    }

private:
    Ref fn_, cls_, websocket_, content_;
    bool sent_ = false;
};

}  // namespace

Ref json_text(rt::Function* fn, PyObject* content) {
    Ref json = rt::load_global(fn->globals.get(), fn->builtins.get(), kJson.get());
    Ref dumps = json ? Ref::steal(PyObject_GetAttr(json.get(), kDumps.get())) : Ref();
    PyObject* keywords = ensure_ascii_keyword();
    if (!dumps || !keywords) return {};
    PyObject* args[] = {content, Py_False};
    return Ref::steal(PyObject_Vectorcall(dumps.get(), args, 1, keywords));
}

Ref start_send(PyObject* cls, PyObject* websocket, PyObject* message) {
    if (is_own(cls, Hook::send_message_async)) return {};
    return call_hook(cls, Hook::send_message_async, {websocket, message});
}

PyObject* send_message_async(rt::Function* fn, PyObject* const* locals) {
    return rt::make_immediate_coroutine(fn->code.get(), return_none, locals, 3).release();
}

PyObject* send_json_async(rt::Function* fn, PyObject* const* locals) {
    return rt::make_coroutine<SendJson>(fn->code.get(), fn, locals).release();
}

}  // namespace broadcaster
