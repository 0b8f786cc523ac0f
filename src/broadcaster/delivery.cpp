#include "broadcaster/delivery.hpp"

#include "broadcaster/broadcaster.hpp"
#include "broadcaster/hooks.hpp"
#include "runtime/coroutine.hpp"
#include "runtime/layout.hpp"
#include "runtime/name.hpp"

namespace broadcaster {

using rt::Ref;
using rt::Step;

namespace {

const rt::Name kJson{"json"};
const rt::Name kDumps{"dumps"};

const rt::Name kEnsureAscii{"ensure_ascii"};

PyObject* ensure_ascii_keyword() {
    static PyObject* names = nullptr;
    if (!names && kEnsureAscii.get()) names = PyTuple_Pack(1, kEnsureAscii.get());
    return names;
}

// `json.dumps`, with `json` read from the module namespace. What it gave last time is used again
// while neither the namespace nor the json module's own namespace has changed since: a module's
// attribute is the entry of its namespace.
class JsonDumps {
public:
    Ref get(PyObject* globals, PyObject* builtins) {
        if (globals == globals_ && rt::dict_version(globals) == globals_version_ && json_ns_ &&
            rt::dict_version(json_ns_) == json_version_) [[likely]]
            return Ref::borrow(dumps_);
        return find(globals, builtins);
    }

private:
    PyObject* globals_ = nullptr;  // strong references, kept for the life of the process
    PyObject* json_ns_ = nullptr;
    PyObject* dumps_ = nullptr;
    uint64_t globals_version_ = 0;
    uint64_t json_version_ = 0;

    [[gnu::cold]] Ref find(PyObject* globals, PyObject* builtins) {
        Ref json = rt::load_global(globals, builtins, kJson.get());
        if (!json) return {};
        Ref dumps = Ref::steal(PyObject_GetAttr(json.get(), kDumps.get()));
        if (!dumps) return {};
        PyObject* json_ns = PyModule_CheckExact(json.get()) ? PyModule_GetDict(json.get()) : nullptr;
        if (json_ns && PyDict_CheckExact(json_ns) && PyDict_GetItemWithError(globals, kJson.get()) == json.get() &&
            PyDict_GetItemWithError(json_ns, kDumps.get()) == dumps.get()) {
            Py_XSETREF(globals_, Ref::borrow(globals).release());
            Py_XSETREF(json_ns_, Ref::borrow(json_ns).release());
            Py_XSETREF(dumps_, Ref(dumps).release());
            globals_version_ = rt::dict_version(globals);
            json_version_ = rt::dict_version(json_ns);
        }
        PyErr_Clear();
        return dumps;
    }
};

JsonDumps json_dumps;

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
    Ref dumps = json_dumps.get(fn->globals.get(), fn->builtins.get());
    PyObject* keywords = ensure_ascii_keyword();
    if (!dumps || !keywords) return {};
    PyObject* args[] = {content, Py_False};
    return rt::call(dumps.get(), args, 1, keywords);
}

Ref start_send(Hooks& hooks, PyObject* websocket, PyObject* message) {
    const Method& method = hooks.lookup(Hook::send_message_async);
    if (method.is_own()) return {};
    return method ? method(hooks.cls(), {websocket, message}) : Ref();
}

PyObject* send_message_async(rt::Function* fn, PyObject* const* locals) {
    return rt::make_immediate_coroutine(fn->code.get(), return_none, locals, 3).release();
}

PyObject* send_json_async(rt::Function* fn, PyObject* const* locals) {
    return rt::make_coroutine<SendJson>(fn->code.get(), fn, locals).release();
}

}  // namespace broadcaster
