// The coroutine type as the interpreter sees it: its slots, methods and attributes, in the order
// of the type object, and the making and freeing of its objects (from a free list). The steps
// themselves are the driver's (coroutine_driver.cpp).
#include "runtime/coroutine_object.hpp"

#include "runtime/handling.hpp"
#include "runtime/layout.hpp"
#include "runtime/messages.hpp"
#include "runtime/shelves.hpp"

#include <frameobject.h>
#include <opcode.h>

#include <cstddef>

namespace rt::coroutine {

namespace {

// The instruction by which `await` steps the iterator it awaits.
constexpr unsigned char kSendOpcode = SEND;

Shelves shelves;  // process-wide, as module/init.cpp lists

// Everything the deallocator does, the object already untracked.
RT_HOT void release(PyObject* self) {
    auto* co = as_coroutine(self);
    if (co->head.cr_weakreflist) PyObject_ClearWeakRefs(self);
    if (co->lent != Lent::no) [[unlikely]]
        take_back(co);  // nothing runs it now
    if (co->state() != State::Finished) {  // a finished coroutine's finalizer has nothing to do
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
        PyObject_GC_UnTrack(self);
        if (co->lent != Lent::no) [[unlikely]] {  // lent again by a close that left it suspended
            take_back(co);
            if (co->head.cr_weakreflist) PyObject_ClearWeakRefs(self);
        }
    }
    if (co->body) finish(co);
    end_frame(co);
    Py_CLEAR(co->head.cr_origin_or_finalizer);
    // Kept for reuse, it still holds the code and namespace it was made of, with the code's names.
    auto* code = reinterpret_cast<PyCodeObject*>(co->code());
    if (co->head.cr_name != code->co_name) Py_SETREF(co->head.cr_name, Ref::borrow(code->co_name).release());
    if (co->head.cr_qualname != code->co_qualname)
        Py_SETREF(co->head.cr_qualname, Ref::borrow(code->co_qualname).release());
    if (shelves.keep(self, co->tail)) return;
    co->awaiting.~Ref();
    co->globals.~Ref();
    co->func.~Ref();
    Py_CLEAR(co->head.cr_name);
    Py_CLEAR(co->head.cr_qualname);
    Py_CLEAR(co->head.cr_code);
    Py_TYPE(self)->tp_free(self);
}

RT_HOT void coro_dealloc(PyObject* self) {
    gc_untrack(self);
    // A body may hold the last reference to another coroutine, and that one's to the next: the
    // interpreter's trashcan defers the deep end of such a chain instead of recursing into it.
    // (Without a body, what is left to release is held by containers that use it themselves.)
    Py_TRASHCAN_BEGIN_CONDITION(self, as_coroutine(self)->body != nullptr)
    release(self);
    Py_TRASHCAN_END
}

// Refused as `await` refuses a coroutine another await already drives; -1 with the error.
int check_not_awaited(Coroutine* co) {
    settle_state(co);
    if (co->state() == State::Suspended && co->awaiting) {
        PyErr_SetString(PyExc_RuntimeError, kAwaitedAlready);
        return -1;
    }
    return 0;
}

// The slot `await` uses: the coroutine is its own iterator, as the interpreter's own coroutine
// is, so an awaiting frame holds (and its cr_await shows) the coroutine itself. The interpreter
// accepts what this slot returns only if it is an iterator, hence the type's iternext below.
RT_HOT PyObject* coro_await(PyObject* self) {
    if (check_not_awaited(as_coroutine(self)) < 0) return nullptr;
    return Ref::borrow(self).release();
}

// Whether the innermost Python frame is running a SEND: an `await` stepping what it awaits.
RT_COLD bool stepped_by_await() {
    PyFrameObject* frame = PyEval_GetFrame();
    if (!frame) return false;
    const int lasti = PyFrame_GetLasti(frame);
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    Ref bytes = Ref::steal(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(code.get())));
    if (!bytes) {
        PyErr_Clear();
        return false;
    }
    return lasti >= 0 && lasti < PyBytes_GET_SIZE(bytes.get()) &&
           static_cast<unsigned char>(PyBytes_AS_STRING(bytes.get())[lasti]) == kSendOpcode;
}

PyObject* coro_repr(PyObject* self) {
    // Held: a str subclass's __str__ may assign another qualname meanwhile.
    Ref qualname = Ref::borrow(as_coroutine(self)->head.cr_qualname);
    return PyUnicode_FromFormat("<coroutine object %S at %p>", qualname.get(), self);
}

int coro_traverse(PyObject* self, visitproc visitor, void* arg) {
    auto* co = as_coroutine(self);
    for (PyObject* obj : {reinterpret_cast<PyObject*>(co->head.cr_code), co->head.cr_name, co->head.cr_qualname,
                          co->head.cr_origin_or_finalizer})
        if (obj)
            if (int err = visitor(obj, arg)) return err;
    for (const Ref* ref : {&co->awaiting, &co->globals, &co->func})
        if (int err = visit(*ref, visitor, arg)) return err;
    // (A lent frame the interpreter ended holds nothing of the coroutine's any more.)
    if (co->frame_open && !lent_frame_ended(co))
        if (int err = traverse_frame(co->frame(), visitor, arg)) return err;
    return co->body ? co->body->traverse(visitor, arg) : 0;
}

int coro_clear(PyObject* self) {
    auto* co = as_coroutine(self);
    if (!settled(co)) {
        PyErr_Clear();
        return 0;
    }
    finish(co);
    co->globals.reset();
    if (!co->frame_open) co->func.reset();
    return 0;
}

// The iternext slot, which Python code never sees (the type has no __next__). While a trace
// function is set (sys.settrace: debuggers, coverage), an `await` steps the iterator it got
// through this slot instead of am_send, and then it is a step. Anywhere else it is next(coro),
// refused as for any coroutine.
PyObject* coro_iternext(PyObject* self) {
    if (!thread_state()->c_tracefunc || !stepped_by_await()) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not an iterator", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    PyObject* out = nullptr;
    const PySendResult status = coro_am_send(self, Py_None, &out);
    if (status != PYGEN_RETURN) return next_result(status, out);
    // The await sees the end as a coroutine's send() reports it, with StopIteration, which it
    // reports to the trace function in the awaiting frame (debuggers stop there after `return`).
    Ref returned = Ref::steal(out);
    raise_stop_iteration(returned.get());
    return nullptr;
}

// coro.__await__(), called from Python code: a separate iterator, as the interpreter's own gives.
PyObject* coro_await_method(PyObject* self, PyObject*) {
    if (check_not_awaited(as_coroutine(self)) < 0) return nullptr;
    return new_wrapper(as_coroutine(self));
}

PyObject* get_name(PyObject* self, void*) { return Ref::borrow(as_coroutine(self)->head.cr_name).release(); }
PyObject* get_qualname(PyObject* self, void*) { return Ref::borrow(as_coroutine(self)->head.cr_qualname).release(); }

// A name slot of the interpreter's layout takes `value`, a string, or the setter fails with `message`.
int set_text(PyObject*& slot, PyObject* value, const char* message) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_SETREF(slot, Ref::borrow(value).release());
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(as_coroutine(self)->head.cr_name, value, messages::kNameNotString);
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(as_coroutine(self)->head.cr_qualname, value, messages::kQualnameNotString);
}

PyObject* get_await(PyObject* self, void*) {
    auto* co = as_coroutine(self);
    settle_state(co);
    return Ref(co->awaiting ? co->awaiting : none()).release();
}
PyObject* get_running(PyObject* self, void*) {
    settle_state(as_coroutine(self));
    return boolean(as_coroutine(self)->state() == State::Running).release();
}
PyObject* get_suspended(PyObject* self, void*) {
    settle_state(as_coroutine(self));
    return boolean(as_coroutine(self)->state() == State::Suspended).release();
}
PyObject* get_code(PyObject* self, void*) { return Ref::borrow(as_coroutine(self)->code()).release(); }
PyObject* get_origin(PyObject* self, void*) {
    PyObject* origin = as_coroutine(self)->head.cr_origin_or_finalizer;
    return Ref::borrow(origin ? origin : Py_None).release();
}

// A frame of the coroutine's code, made when first asked for; None once the coroutine has finished.
PyObject* get_frame(PyObject* self, void*) {
    auto* co = as_coroutine(self);
    if (!settled(co)) return nullptr;
    if (co->state() == State::Finished || !co->globals) return none().release();
    Ref frame = frame_of(co);
    if (!frame) return PyErr_Occurred() ? nullptr : none().release();
    if (co->state() == State::Finished) return none().release();
    return frame.release();
}

PyObject* coro_sizeof(PyObject* self, PyObject*) {
    return PyLong_FromSsize_t(static_cast<Py_ssize_t>(sizeof(Coroutine)) + as_coroutine(self)->tail);
}

// The never-awaited warning as the interpreter gives it: through the warnings module, with the
// coroutine as its source (its origin, tracemalloc's traceback), else directly.
void warn_never_awaited(Coroutine* co) {
    PyObject* self = reinterpret_cast<PyObject*>(co);
    bool warned = false;
    Ref hook;
    if (Ref name = Ref::steal(PyUnicode_FromString("warnings"))) {
        // No import once the interpreter is shutting down: only a module already loaded.
        Ref warnings = Ref::steal(_Py_IsFinalizing() ? PyImport_GetModule(name.get()) : PyImport_Import(name.get()));
        if (warnings) {
            hook = Ref::steal(PyObject_GetAttrString(warnings.get(), "_warn_unawaited_coroutine"));
            if (!hook && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
        } else if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyErr_Clear();
        }
    }
    if (hook) {
        Ref result = Ref::steal(PyObject_CallOneArg(hook.get(), self));
        warned = result || PyErr_ExceptionMatches(PyExc_RuntimeWarning);
    }
    if (PyErr_Occurred()) PyErr_WriteUnraisable(self);
    if (!warned) {
        Ref qualname = Ref::borrow(co->head.cr_qualname);
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", qualname.get()) < 0)
            PyErr_WriteUnraisable(self);
    }
}

void coro_finalize(PyObject* self) {
    auto* co = as_coroutine(self);
    if (co->state() == State::Finished && co->lent == Lent::no) return;
    ErrorTriple pending = ErrorTriple::fetch();
    if (!settled(co)) PyErr_Clear();
    if (co->state() == State::Finished) {
        pending.restore();
        return;
    }
    if (co->state() == State::Created) {
        warn_never_awaited(co);
    } else {
        Ref result = Ref::steal(coro_close(self, nullptr));
        if (!result) PyErr_WriteUnraisable(self);
    }
    pending.restore();
}


// Where a coroutine being made was called from, as the interpreter records it while
// sys.set_coroutine_origin_tracking_depth is above 0: (file, line, function) per frame, innermost
// first. Null with no exception when there is nothing to record.
RT_COLD Ref origin_of_call(int depth) {
    Ref frames = Ref::steal(PyList_New(0));
    if (!frames) return {};
    Ref frame = Ref::borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame()));
    for (int i = 0; frame && i < depth; ++i) {
        auto* f = reinterpret_cast<PyFrameObject*>(frame.get());
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(f)));
        auto* c = reinterpret_cast<PyCodeObject*>(code.get());
        Ref info = Ref::steal(Py_BuildValue("OiO", c->co_filename, PyFrame_GetLineNumber(f), c->co_name));
        if (!info || PyList_Append(frames.get(), info.get()) < 0) return {};
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(f)));
    }
    return Ref::steal(PyList_AsTuple(frames.get()));
}

PyMethodDef coroutine_methods[] = {
    {"send", coro_send, METH_O, kSendDoc},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL, kThrowDoc},
    {"close", coro_close, METH_NOARGS, kCloseDoc},
    {"__sizeof__", coro_sizeof, METH_NOARGS, PyDoc_STR("gen.__sizeof__() -> size of gen in memory, in bytes")},
    {"__await__", coro_await_method, METH_NOARGS | METH_COEXIST, PyDoc_STR("Return an iterator to be used in await expression.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, set_name, PyDoc_STR("name of the coroutine"), nullptr},
    {"__qualname__", get_qualname, set_qualname, PyDoc_STR("qualified name of the coroutine"), nullptr},
    {"cr_await", get_await, nullptr, PyDoc_STR("object being awaited on, or None"), nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {"cr_origin", get_origin, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods coroutine_as_async = {
    .am_await = coro_await,
    .am_send = coro_am_send,
};

}  // namespace

}  // namespace rt::coroutine

namespace rt {

using namespace coroutine;

PyTypeObject CoroutineType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "coroutine",
    .tp_basicsize = sizeof(Coroutine),
    .tp_itemsize = 1,  // the body's bytes
    .tp_dealloc = coro_dealloc,
    .tp_as_async = &coroutine_as_async,
    .tp_repr = coro_repr,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = coro_traverse,
    .tp_clear = coro_clear,
    .tp_weaklistoffset = offsetof(Coroutine, head.cr_weakreflist),
    .tp_iternext = coro_iternext,
    .tp_methods = coroutine_methods,
    .tp_getset = coroutine_getset,
    .tp_free = PyObject_GC_Del,
    .tp_finalize = coro_finalize,
};

int ready_coroutine_type() {
    if (CoroutineType.tp_flags & Py_TPFLAGS_READY) return 0;
    CoroutineType.tp_base = &PyCoro_Type;
    if (PyType_Ready(&CoroutineType) < 0) return -1;
    // The iternext slot is for the interpreter alone: a coroutine has no __next__.
    if (PyDict_DelItemString(CoroutineType.tp_dict, "__next__") < 0) return -1;
    PyType_Modified(&CoroutineType);
    if (ready_closer_type() < 0) return -1;
    return ready_wrapper_type();
}

namespace detail {

RT_HOT PyObject* new_coroutine(PyObject* func, PyObject* const* locals, Py_ssize_t count, size_t size, void** storage) {
    PyObject* code = reinterpret_cast<PyFunctionObject*>(func)->func_code;
    PyObject* globals = reinterpret_cast<PyFunctionObject*>(func)->func_globals;
    constexpr size_t align = alignof(std::max_align_t);
    constexpr size_t head = (sizeof(Coroutine) + align - 1) / align * align;
    const auto tail = static_cast<Py_ssize_t>(head - sizeof(Coroutine) + size);
    Ref origin;
    if (const int depth = thread_state()->coroutine_origin_tracking_depth; depth > 0) [[unlikely]] {
        origin = origin_of_call(depth);
        if (!origin) return nullptr;
    }
    auto* code_object = reinterpret_cast<PyCodeObject*>(code);
    auto* co = reinterpret_cast<Coroutine*>(shelves.take(tail));
    if (co) [[likely]] {
        // A kept coroutine still holds what it was last made of, most likely the same.
        if (co->code() != code) {
            Py_SETREF(co->head.cr_code, reinterpret_cast<PyCodeObject*>(Ref::borrow(code).release()));
            Py_SETREF(co->head.cr_name, Ref::borrow(code_object->co_name).release());
            Py_SETREF(co->head.cr_qualname, Ref::borrow(code_object->co_qualname).release());
        }
        if (co->globals.get() != globals) co->globals = Ref::borrow(globals);
        if (co->func.get() != func) co->func = Ref::borrow(func);
    } else {
        co = PyObject_GC_NewVar(Coroutine, &CoroutineType, tail);
        if (!co) return nullptr;
        co->head.cr_code = reinterpret_cast<PyCodeObject*>(Ref::borrow(code).release());
        co->head.cr_weakreflist = nullptr;
        co->head.cr_name = Ref::borrow(code_object->co_name).release();
        co->head.cr_qualname = Ref::borrow(code_object->co_qualname).release();
        co->head.cr_exc_state = {nullptr, nullptr};
        co->head.cr_hooks_inited = 0;
        co->head.cr_closed = 0;
        co->head.cr_running_async = 0;
        co->head.cr_frame_state = static_cast<int8_t>(State::Finished);
        new (&co->awaiting) Ref();
        new (&co->globals) Ref(Ref::borrow(globals));
        new (&co->func) Ref(Ref::borrow(func));
        co->tail = tail;
    }
    // Its frame, from the start: the call's parameters in their slots, standing at the first line.
    InterpreterFrame* frame = co->frame();
    open_frame(frame, func, kOwnedByCoroutine);
    for (Py_ssize_t i = 0; i < count; ++i) frame->slots()[i] = Py_XNewRef(locals[i]);
    co->frame_open = true;
    co->frame_linked = false;
    co->lent = Lent::no;
    co->head.cr_origin_or_finalizer = origin.release();
    co->set_state(State::Created);
    co->body = nullptr;
    co->tail_await = false;
    *storage = reinterpret_cast<char*>(co) + head;
    return reinterpret_cast<PyObject*>(co);
}

RT_HOT void attach_body(PyObject* coroutine, Body* body) {
    as_coroutine(coroutine)->body = body;
    gc_track_untracked(thread_state(), coroutine);
}

}  // namespace detail

}  // namespace rt
