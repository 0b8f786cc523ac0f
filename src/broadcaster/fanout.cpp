// The fan-out of one document event to the subscribers of its class.
//
// The subscribers registered under the class when the event starts are visited in their order.
// At its turn each is served only if it is still registered, with the parameters it has then;
// one found closed gets nothing and is disconnected after the loop; one whose start sequence lies
// after the event is skipped. The only suspension is the await of each send.
#include "broadcaster/broadcaster.hpp"
#include "broadcaster/delivery.hpp"
#include "broadcaster/hooks.hpp"
#include "broadcaster/names.hpp"
#include "broadcaster/params.hpp"
#include "engine/engine.hpp"
#include "runtime/coroutine.hpp"
#include "runtime/layout.hpp"
#include "runtime/name.hpp"
#include "runtime/placement.hpp"
#include "runtime/traceback.hpp"

#include <array>

namespace broadcaster {

using rt::Ref;
using rt::Step;

namespace {

constexpr Py_ssize_t kMessageAt = 3;  // the position of "message" in an event dict

RT_COLD Ref look_up_param(PyObject* param, const rt::Name& key);

// param[key], as a subscript reads it. `position` is where subscribe puts the key: a dict
// holding that very key there needs no lookup.
inline Ref read_param(PyObject* param, const rt::Name& key, Py_ssize_t position) {
    if (PyDict_CheckExact(param))
        if (PyObject* value = rt::entry_value(param, position, key.get())) return Ref::borrow(value);
    return look_up_param(param, key);
}

Ref look_up_param(PyObject* param, const rt::Name& key) {
    if (!key.get()) return {};
    if (PyDict_CheckExact(param)) {
        PyObject* value = PyDict_GetItemWithError(param, key.get());
        if (!value && !PyErr_Occurred()) {
            Ref missing = Ref::steal(PyTuple_Pack(1, key.get()));
            if (missing) PyErr_SetObject(PyExc_KeyError, missing.get());
        }
        return Ref::borrow(value);
    }
    return Ref::steal(PyObject_GetItem(param, key.get()));
}

// Truth of a hook's result; -1 when the call or the test failed.
int truth(const Ref& result) {
    if (result.get() == Py_True) return 1;
    if (result.get() == Py_False || result.get() == Py_None) return 0;
    return result ? PyObject_IsTrue(result.get()) : -1;
}

class FanOut final : public rt::Body {
public:
    using Args = DocumentSentArgs;
    using Steps = DocumentSentSteps;

    FanOut(rt::Function* fn, PyObject* const* locals)
        : fn_(Ref::borrow(reinterpret_cast<PyObject*>(fn))),
          hooks_(Ref::borrow(locals[Args::cls])),
          doc_(engine::Document::kept(locals[Args::doc])),
          op_(Ref::borrow(locals[Args::op])),
          seq_(Ref::borrow(locals[Args::seq])) {}

    ~FanOut() override { end_send_frame(); }

    Step resume(PyObject* received) override {
        frame_ = rt::running_frame();
        code_start_ = _PyCode_CODE(reinterpret_cast<PyCodeObject*>(frame_->code));
        if (!received) {
            if (inline_send_) leave_send_json();
            end_send_frame();
            return Step::error();
        }
        inline_send_ = false;
        end_send_frame();
        if (!started_) {
            started_ = true;
            int found = find_subscribers();
            if (found <= 0) return found < 0 ? Step::error() : Step::done(rt::none());
        }
        return serve_remaining();
    }


    int traverse(visitproc visitor, void* arg) override {
        for (const Ref* ref : {&fn_, &op_, &seq_, &doc_class_, &subscribers_, &turns_, &closed_, &event_})
            if (int err = rt::visit(*ref, visitor, arg)) return err;
        if (send_open_)
            if (int err = rt::traverse_frame(send_running_, visitor, arg)) return err;
        for (const rt::KeptFrame* kept : {&acl_frame_, &body_frame_, &send_frame_})
            if (int err = kept->traverse(visitor, arg)) return err;
        if (int err = doc_.traverse(visitor, arg)) return err;
        return hooks_.traverse(visitor, arg);
    }

private:
    Ref fn_;
    Hooks hooks_;  // cls's
    engine::Document doc_;
    Ref op_, seq_;
    Ref doc_class_;
    Ref subscribers_;  // the class's own subscriber dict, live
    Ref turns_;        // the websockets registered when the event started, in order
    Ref closed_;       // websockets found closed, in the order found
    Ref event_;        // the dict of the last event sent
    uint64_t event_version_ = 0;  // its version when this body last changed it
    Py_ssize_t next_ = 0;
    bool started_ = false;
    bool inline_send_ = false;  // what it awaits is the send of the module's own send_json_async, run in place
    bool send_open_ = false;    // send_frame_ runs: that send_json_async is awaiting its send
    PyThreadState* ts_ = nullptr;  // the thread running this turn
    rt::InterpreterFrame* frame_ = nullptr;  // the coroutine's frame, while a step runs
    // The frames of the module's own methods run in place: check_subscriber_acl,
    // get_message_body and send_json_async (whose run lasts until its send is done).
    rt::KeptFrame acl_frame_, body_frame_, send_frame_;
    rt::InterpreterFrame* send_running_ = nullptr;

    static void bind_borrowed(rt::InterpreterFrame* frame, std::initializer_list<PyObject*> values) {
        PyObject** slots = frame->slots();
        for (PyObject* value : values) *slots++ = value;
    }

    _Py_CODEUNIT* code_start_ = nullptr;     // its code's instructions
    void at(int step) const { frame_->prev_instr = code_start_ + step; }
    void bind(Py_ssize_t local, PyObject* value) const { rt::bind_local(frame_, local, value); }

    // The frame of the module's own send_json_async run in place ends with its send.
    void end_send_frame() {
        if (!send_open_) return;
        send_open_ = false;
        between = nullptr;
        send_frame_.finish_run(0);
    }

    // Whether `method` is the module's own and runs in place rather than being called: not while
    // a profile or trace function watches, which any code a turn runs may set.
    bool in_place(const Method& method) const { return method.is_own() && !rt::tracing(ts_); }

    rt::Function* fn() const { return reinterpret_cast<rt::Function*>(fn_.get()); }

    // cls.active_connections.get(doc_class, {}); 1 when it has subscribers, 0 when not.
    RT_COLD int find_subscribers() {
        at(Steps::doc_class);
        doc_class_ = engine::class_name(doc_.get());
        if (!doc_class_) return -1;
        bind(Args::doc_class, doc_class_.get());
        at(Steps::subscribers);
        Ref registry = registry_of(hooks_.cls());
        if (!registry) return -1;
        if (PyDict_CheckExact(registry.get())) {
            subscribers_ = Ref::borrow(PyDict_GetItemWithError(registry.get(), doc_class_.get()));
            if (!subscribers_) return PyErr_Occurred() ? -1 : 0;
        } else {
            Ref empty = Ref::steal(PyDict_New());
            if (!empty) return -1;
            PyObject* args[] = {registry.get(), doc_class_.get(), empty.get()};
            subscribers_ = Ref::steal(PyObject_VectorcallMethod(names::get.get(), args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            if (!subscribers_) return -1;
        }
        bind(Args::doc_class_subscriber, subscribers_.get());
        at(Steps::closed_list);
        closed_ = Ref::steal(PyList_New(0));
        if (!closed_) return -1;
        bind(Args::closed_subscribers, closed_.get());
        at(Steps::any);
        int any = PyObject_IsTrue(subscribers_.get());
        if (any <= 0) {
            if (any == 0) at(Steps::nothing);
            return any;
        }
        at(Steps::loop);
        turns_ = PyDict_CheckExact(subscribers_.get()) ? Ref::steal(PyDict_Keys(subscribers_.get()))
                                                        : Ref::steal(PySequence_List(subscribers_.get()));
        return closed_ && turns_ ? 1 : -1;
    }

    // The parameters `websocket` is registered with now, or null (no error) when it is gone.
    // `turn` is its place in the registry when the event started, where it most likely still is.
    Ref current_params(PyObject* websocket, Py_ssize_t turn) {
        if (PyDict_CheckExact(subscribers_.get())) [[likely]]
            if (PyObject* param = rt::any_entry_value(subscribers_.get(), turn, websocket)) [[likely]]
                return Ref::borrow(param);
        return look_up_params(websocket);
    }

    RT_COLD Ref look_up_params(PyObject* websocket) {
        if (PyDict_CheckExact(subscribers_.get()))
            return Ref::borrow(PyDict_GetItemWithError(subscribers_.get(), websocket));
        int registered = PySequence_Contains(subscribers_.get(), websocket);
        if (registered <= 0) return {};
        return Ref::steal(PyObject_GetItem(subscribers_.get(), websocket));
    }

    Step serve_remaining() {
        at(Steps::loop);
        while (next_ < PyList_GET_SIZE(turns_.get())) {
            Py_ssize_t turn = next_++;
            // Held: the list is ours, but the cycle collector shows it to whoever asks
            // (gc.get_referents), and a hook may empty it.
            Ref websocket = Ref::borrow(PyList_GET_ITEM(turns_.get(), turn));
            fetch_ahead(turn);
            Ref awaitable;
            if (!serve(websocket.get(), turn, awaitable)) [[unlikely]]
                return Step::error();
            if (awaitable) return Step::wait_for(std::move(awaitable));
        }
        release_event();
        return sweep_closed() ? Step::done(rt::none()) : Step::error();
    }

    // Starts fetching the parameters of the subscribers a few turns ahead, which a large
    // registry no longer holds in the cache. A turn runs hooks and makes a message: a few turns
    // ahead already cover the fetch.
    void fetch_ahead(Py_ssize_t turn) {
        if (!PyDict_CheckExact(subscribers_.get())) return;
        rt::EntryValues params = rt::entry_values(subscribers_.get());
        if (params.first) rt::prefetch_ahead<4, 2>(params, turn);
    }

    // One subscriber's turn. Sets `awaitable` when a send has to be awaited; false on error.
    bool serve(PyObject* websocket, Py_ssize_t turn, Ref& awaitable) {
        release_event();
        ts_ = rt::thread_state();
        bind(Args::websocket, websocket);
        at(Steps::registered);
        Ref param = current_params(websocket, turn);
        if (!param) [[unlikely]]
            return !PyErr_Occurred();
        at(Steps::connected);
        int open = is_connected(websocket);
        if (open < 0) [[unlikely]]
            return false;
        if (!open) [[unlikely]] {
            at(Steps::closed);
            return PyList_Append(closed_.get(), websocket) == 0;
        }
        at(Steps::param);
        bind(Args::param, param.get());
        at(Steps::start_seq);
        int before_start = starts_later(param.get());
        if (before_start) return before_start > 0;
        at(Steps::acl);
        int allowed = may_read(param.get());
        if (allowed <= 0) return allowed == 0;
        at(Steps::body);
        Ref message = message_body(param.get());
        if (message) bind(Args::message, message.get());
        at(Steps::any_body);
        int any = truth(message);
        if (any <= 0) return any == 0;
        at(Steps::send);
        Ref event = event_message(message.get());
        if (!event) [[unlikely]]
            return false;
        awaitable = send(websocket, event.get());
        return awaitable || !PyErr_Occurred();
    }

    int is_connected(PyObject* websocket) {
        const Method& method = hooks_.lookup(Hook::subscriber_is_connected);
        if (in_place(method)) return 1;
        return method ? truth(method(hooks_.cls(), {websocket})) : -1;
    }

    // seq < param["start_seq"]
    int starts_later(PyObject* param) {
        Ref start = read_param(param, params::start_seq, params::kStartSeqAt);
        if (!start) [[unlikely]]
            return -1;
        if (PyUnicode_CheckExact(seq_.get()) && PyUnicode_CheckExact(start.get())) {
            if (PyUnicode_GET_LENGTH(start.get()) == 0) return 0;  // no text sorts before ""
            return PyUnicode_Compare(seq_.get(), start.get()) < 0;
        }
        return PyObject_RichCompareBool(seq_.get(), start.get(), Py_LT);
    }

    int may_read(PyObject* param) {
        const Method& method = hooks_.lookup(Hook::check_subscriber_acl);
        if (!method) [[unlikely]]
            return -1;
        Ref acl = read_param(param, params::acl, params::kAclAt);
        if (!acl) [[unlikely]]
            return -1;
        if (in_place(method)) {
            rt::InterpreterFrame* frame = acl_frame_.start(own_function(Hook::check_subscriber_acl), CheckAclSteps::check);
            bind_borrowed(frame, {hooks_.cls(), doc_.get(), acl.get()});
            rt::link_frame(ts_, frame);
            Ref allowed = doc_.check_acl(acl.get());
            if (!allowed) [[unlikely]]
                rt::add_frame_entry(ts_, frame);
            rt::unlink_frame(ts_, frame);
            acl_frame_.finish_run(CheckAclArgs::count);
            return truth(allowed);
        }
        return truth(method(hooks_.cls(), {doc_.get(), acl.get()}));
    }

    Ref message_body(PyObject* param) {
        const Method& method = hooks_.lookup(Hook::get_message_body);
        if (!method) [[unlikely]]
            return {};
        Ref scope = read_param(param, params::data_scope, params::kDataScopeAt);
        Ref catalog = scope ? read_param(param, params::catalog, params::kCatalogAt) : Ref();
        Ref show_hidden = catalog ? read_param(param, params::show_hidden, params::kShowHiddenAt) : Ref();
        if (!show_hidden) [[unlikely]]
            return {};
        if (in_place(method)) {
            rt::InterpreterFrame* frame = body_frame_.start(own_function(Hook::get_message_body), MessageBodySteps::check_scope);
            bind_borrowed(frame, {hooks_.cls(), doc_.get(), scope.get(), catalog.get(), show_hidden.get()});
            rt::link_frame(ts_, frame);
            Ref body = doc_.message_body(fn(), scope.get(), catalog.get(), show_hidden.get());
            if (!body) [[unlikely]]
                rt::add_frame_entry(ts_, frame);
            rt::unlink_frame(ts_, frame);
            body_frame_.finish_run(MessageBodyArgs::count);
            return body;
        }
        return method(hooks_.cls(), {doc_.get(), scope.get(), catalog.get(), show_hidden.get()});
    }

    // {"doc_class": doc_class, "op": op, "seq": seq, "message": message}. The last event's dict
    // is filled again when nothing else holds it and nothing changed it since: it is then
    // exactly the dict a new one would be.
    Ref event_message(PyObject* message) {
        if (event_unshared() && set_event_message(message)) [[likely]]
            return event_;
        return new_event(message);
    }

    RT_COLD Ref new_event(PyObject* message) {
        Ref event = Ref::steal(_PyDict_NewPresized(4));
        if (!event) return {};
        const std::pair<const rt::Name*, PyObject*> items[] = {
            {&names::doc_class, doc_class_.get()}, {&names::op, op_.get()}, {&names::seq, seq_.get()}, {&names::message, message}};
        for (const auto& [key, value] : items)
            if (!key->get() || PyDict_SetItem(event.get(), key->get(), value) < 0) return {};
        event_ = event;
        event_version_ = rt::dict_version(event.get());
        return event;
    }

    // The message of our own, unshared event dict, set in place; false when it has to be built anew.
    bool set_event_message(PyObject* message) {
        Ref old = rt::exchange_entry_value(event_.get(), kMessageAt, names::message.get(), message);
        return static_cast<bool>(old);  // the old message goes now, as the last event would have
    }

    bool event_unshared() const {
        return event_ && Py_REFCNT(event_.get()) == 1 && rt::dict_version(event_.get()) == event_version_;
    }

    // The end of the last event's send: its message is let go, as the event would be.
    void release_event() {
        if (!event_) return;
        if (!event_unshared() || !set_event_message(Py_None)) event_.reset();
    }

    // cls.send_json_async(websocket, event): what to await. The module's own send_json_async is
    // run in place: the text, then the host's send hook.
    Ref send(PyObject* websocket, PyObject* event) {
        const Method& method = hooks_.lookup(Hook::send_json_async);
        if (!in_place(method)) return method ? method(hooks_.cls(), {websocket, event}) : Ref();
        // A level of the recursion limit while its step runs, as its coroutine's step would take.
        if (!rt::enter_level(ts_)) [[unlikely]]
            return {};
        // Its frame, as its coroutine's would be: made, run for the text and the hook's call, and
        // kept for the await of what the hook gives.
        rt::InterpreterFrame* frame = send_frame_.start(own_function(Hook::send_json_async), SendJsonSteps::dumps);
        send_open_ = true;
        frame->slots()[SendJsonArgs::cls] = Py_NewRef(hooks_.cls());
        frame->slots()[SendJsonArgs::websocket] = Py_NewRef(websocket);
        frame->slots()[SendJsonArgs::content] = Py_NewRef(event);
        send_running_ = frame;
        // While the send hook it awaits runs, this send_json_async's frame is between it and
        // the fan-out, as its coroutine's would be.
        between = frame;
        rt::link_frame(ts_, frame);
        Ref text = json_text(fn(), event);
        if (text) {
            rt::bind_local(frame, SendJsonArgs::message, text.get());
            rt::at_step(frame, SendJsonSteps::await_send);
        }
        Ref awaitable = text ? start_send(hooks_, websocket, text.get(), rt::tracing(ts_) ? OwnMethods::called : OwnMethods::in_place) : Ref();
        if (!awaitable && PyErr_Occurred()) [[unlikely]]
            rt::add_frame_entry(ts_, frame);
        rt::unlink_frame(ts_, frame);
        rt::leave_level(ts_);
        inline_send_ = static_cast<bool>(awaitable);
        if (!inline_send_) end_send_frame();
        return awaitable;
    }

    // An exception leaves the module's own send_json_async, run in place for the subscriber whose
    // turn it is: its traceback entry, as its coroutine would have added it.
    RT_COLD void leave_send_json() {
        if (send_open_) rt::add_frame_entry(rt::thread_state(), send_running_);
    }

    RT_COLD bool sweep_closed() {
        at(Steps::sweep);
        if (!closed_) return true;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(closed_.get()); ++i) {
            Ref websocket = Ref::borrow(PyList_GET_ITEM(closed_.get(), i));
            bind(Args::closed_subscriber, websocket.get());
            at(Steps::disconnect);
            if (!hooks_.call(Hook::disconnect, {websocket.get()})) return false;
            at(Steps::sweep);
        }
        return true;
    }
};

}  // namespace

PyObject* document_sent_async(rt::Function* fn, PyObject* const* locals) {
    return rt::make_coroutine<FanOut>(reinterpret_cast<PyObject*>(fn), locals, DocumentSentArgs::count, fn, locals).release();
}

}  // namespace broadcaster
