#include "broadcaster/delivery.hpp"

#include "broadcaster/broadcaster.hpp"
#include "broadcaster/hooks.hpp"
#include "runtime/coroutine.hpp"
#include "runtime/immediate.hpp"

#include <array>

namespace broadcaster {

using rt::Ref;
using rt::Step;

namespace {

// send_json_async: the text is made before the only suspension, the await of the host's hook.
class SendJson final : public rt::Body {
public:
    using Args = SendJsonArgs;

    SendJson(rt::Function* fn, PyObject* const* locals)
        : fn_(Ref::borrow(reinterpret_cast<PyObject*>(fn))),
          cls_(Ref::borrow(locals[Args::cls])),
          websocket_(Ref::borrow(locals[Args::websocket])),
          content_(Ref::borrow(locals[Args::content])) {}

    Step resume(PyObject* received) override {
        if (!received) return Step::error();
        if (sent_) return Step::done(rt::none());
        sent_ = true;
        rt::InterpreterFrame* frame = rt::running_frame();
        rt::at_step(frame, SendJsonSteps::dumps);
        Ref message = json_text(reinterpret_cast<rt::Function*>(fn_.get()), content_.get());
        if (!message) return Step::error();
        rt::bind_local(frame, Args::message, message.get());
        rt::at_step(frame, SendJsonSteps::await_send);
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

Ref start_send(Hooks& hooks, PyObject* websocket, PyObject* message, OwnMethods own) {
    const Method& method = hooks.lookup(Hook::send_message_async);
    if (own == OwnMethods::in_place && method.is_own()) return {};
    return method ? method(hooks.cls(), {websocket, message}) : Ref();
}

PyObject* send_message_async(rt::Function* fn, PyObject* const* locals) {
    return rt::make_immediate_coroutine(reinterpret_cast<PyObject*>(fn), rt::return_none, locals, SendMessageArgs::count).release();
}

PyObject* send_json_async(rt::Function* fn, PyObject* const* locals) {
    return rt::make_coroutine<SendJson>(reinterpret_cast<PyObject*>(fn), locals, SendJsonArgs::count, fn, locals).release();
}

}  // namespace broadcaster
