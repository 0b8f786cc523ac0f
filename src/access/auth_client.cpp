// AuthClient: the client of the authentication service. One POST per call, and a pair of
// (decoded reply or error dictionary, status code) back.
#include "access/access.hpp"
#include "access/names.hpp"
#include "runtime/handling.hpp"
#include "runtime/name.hpp"
#include "runtime/traceback.hpp"

namespace access_control {

using rt::Ref;

namespace {

using Args = GetApiAclArgs;

Ref text(const char* value) { return Ref::steal(PyUnicode_FromString(value)); }

Ref attr(PyObject* obj, const rt::Name& name) { return Ref::steal(PyObject_GetAttr(obj, name.get())); }

// r.json()
Ref decoded_body(PyObject* reply) { return Ref::steal(PyObject_CallMethodNoArgs(reply, names::json.get())); }

// r.content as text for an error report: UTF-8, with replacement characters where the bytes are
// not UTF-8, so that reporting an unusable reply can never fail on the reply itself.
Ref body_text(PyObject* reply) {
    Ref content = attr(reply, names::content);
    if (!content) return {};
    return Ref::steal(PyObject_CallMethod(content.get(), "decode", "ss", "utf-8", "replace"));
}

// `left <op> right`, as an `if` takes it: the comparison is made even of an object with itself.
int compare(PyObject* left, PyObject* right, int op) {
    Ref result = Ref::steal(PyObject_RichCompare(left, right, op));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

int status_is(PyObject* reply, long value, int op) {
    Ref status = attr(reply, names::status_code);
    Ref number = Ref::steal(PyLong_FromLong(value));
    if (!status || !number) return -1;
    return compare(status.get(), number.get(), op);
}

PyObject* pair(Ref first, Ref second) {
    if (!first || !second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
}

// {"message": message[, "trace": trace]}
Ref error_dict(Ref message, Ref trace = {}) {
    if (!message) return {};
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || PyDict_SetItem(dict.get(), names::message.get(), message.get()) < 0) return {};
    if (trace && PyDict_SetItem(dict.get(), names::trace.get(), trace.get()) < 0) return {};
    return dict;
}

// The handler of a reply that is no JSON. The report is built while `error` is being handled,
// so anything failing here is chained to it.
PyObject* report_undecodable(PyObject* reply) {
    rt::Handling handling;
    Ref args = attr(handling.error(), names::args);
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref message = args && zero ? Ref::steal(PyObject_GetItem(args.get(), zero.get())) : Ref();
    Ref trace = message ? body_text(reply) : Ref();
    return trace ? pair(error_dict(message, trace), attr(reply, names::status_code)) : nullptr;
}

}  // namespace

PyObject* auth_client_init(rt::Function*, PyObject* const* locals) {
    PyObject* self = locals[AuthClientInitArgs::self];
    PyObject* api_root = locals[AuthClientInitArgs::api_root];
    rt::InterpreterFrame* frame = rt::running_frame();
    int step = 1;  // a step per attribute set, in order
    rt::at_step(frame, step);
    if (PyObject_SetAttr(self, names::api_root.get(), api_root) < 0) return nullptr;
    const std::pair<const rt::Name*, const char*> derived[] = {
        {&names::user_root, "user"}, {&names::role_root, "role"}, {&names::matrix_root, "matrix"}};
    for (const auto& [name, suffix] : derived) {
        rt::at_step(frame, ++step);
        Ref tail = text(suffix);
        Ref joined = tail ? Ref::steal(PyNumber_Add(api_root, tail.get())) : Ref();
        if (!joined || PyObject_SetAttr(self, name->get(), joined.get()) < 0) return nullptr;
    }
    return rt::none().release();
}

PyObject* get_api_acl(rt::Function* fn, PyObject* const* locals) {
    rt::InterpreterFrame* frame = rt::running_frame();
    auto at = [frame](int step) { rt::at_step(frame, step); };
    using Steps = GetApiAclSteps;
    // The request.
    at(Steps::request);
    Ref requests = rt::load_global(fn->globals.get(), fn->builtins.get(), names::requests.get());
    Ref post = requests ? attr(requests.get(), names::post) : Ref();
    Ref role_root = post ? attr(locals[Args::self], names::role_root) : Ref();
    Ref suffix = role_root ? text("/_/get_api_acl") : Ref();
    Ref url = suffix ? Ref::steal(PyNumber_Add(role_root.get(), suffix.get())) : Ref();
    if (!url) return nullptr;
    Ref body = Ref::steal(PyDict_New());
    if (!body || PyDict_SetItemString(body.get(), "api_key", locals[Args::api_key]) < 0 ||
        PyDict_SetItemString(body.get(), "app_name", locals[Args::app_name]) < 0)
        return nullptr;
    Ref keyword = Ref::steal(PyTuple_Pack(1, names::json.get()));
    if (!keyword) return nullptr;
    PyObject* call_args[] = {url.get(), body.get()};
    Ref reply = Ref::steal(PyObject_Vectorcall(post.get(), call_args, 1, keyword.get()));
    if (!reply) return nullptr;
    PyObject* r = reply.get();
    rt::bind_local(frame, Args::r, r);

    // The reply must be JSON.
    at(Steps::decode);
    Ref result = decoded_body(r);
    if (!result) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        // The exception leaves r.json() through this function's frame before the handler takes
        // it: its entry, where a report failing in the handler shows the exception it handled.
        rt::add_frame_entry(rt::thread_state(), frame);
        at(Steps::undecodable);
        {
            rt::ErrorTriple caught = rt::ErrorTriple::fetch();
            caught.normalize();
            rt::bind_local(frame, Args::e, caught.value.get());
            caught.restore();
        }
        PyObject* reported = report_undecodable(r);
        rt::bind_local(frame, Args::e, nullptr);  // as the handler's end unbinds it
        return reported;
    }
    rt::bind_local(frame, Args::result, result.get());

    // On 200, the reply must be about the API the caller named.
    at(Steps::id_check);
    int ok = status_is(r, 200, Py_EQ);
    if (ok < 0) return nullptr;
    if (ok) {
        PyObject* api_id = locals[Args::api_id];
        int named = PyObject_IsTrue(api_id);
        if (named < 0) return nullptr;
        if (named) {
            Ref id = Ref::steal(PyObject_GetItem(result.get(), names::id.get()));
            if (!id) return nullptr;
            int differs = compare(id.get(), api_id, Py_NE);
            if (differs < 0) return nullptr;
            if (differs) {
                at(Steps::id_mismatch);
                Ref shown_api_id = Ref::steal(PyObject_Format(api_id, nullptr));
                Ref again = shown_api_id ? Ref::steal(PyObject_GetItem(result.get(), names::id.get())) : Ref();
                Ref shown_id = again ? Ref::steal(PyObject_Format(again.get(), nullptr)) : Ref();
                if (!shown_id) return nullptr;
                Ref message = Ref::steal(PyUnicode_FromFormat("API ID %U and %U don't match", shown_api_id.get(),
                                                              shown_id.get()));
                return pair(error_dict(message), Ref::steal(PyLong_FromLong(401)));
            }
        }
    }

    // An error status without the service's own message.
    at(Steps::status_check);
    int failed = status_is(r, 300, Py_GE);
    if (failed < 0) return nullptr;
    if (failed) {
        int has_message = PySequence_Contains(result.get(), names::message.get());
        if (has_message < 0) return nullptr;
        if (!has_message) {
            at(Steps::status_error);
            Ref status = attr(r, names::status_code);
            Ref shown = status ? Ref::steal(PyObject_Format(status.get(), nullptr)) : Ref();
            Ref message = shown ? Ref::steal(PyUnicode_FromFormat("API Endpoint returns code %U", shown.get())) : Ref();
            Ref trace = message ? body_text(r) : Ref();
            if (!trace) return nullptr;
            return pair(error_dict(message, trace), attr(r, names::status_code));
        }
    }

    // The reply as the service gave it.
    at(Steps::reply);
    Ref decoded = decoded_body(r);
    if (!decoded) return nullptr;
    return pair(decoded, attr(r, names::status_code));
}

}  // namespace access_control
