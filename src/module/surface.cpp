#include "module/surface.hpp"

#include "access/access.hpp"
#include "broadcaster/broadcaster.hpp"

#include <string_view>

namespace surface {

using broadcaster::Hook;
using rt::Ref;

// ---- the table ----
//
// Each part is a constexpr function, so that the compiler checks it (below) before the module
// keeps its copy: a body reading more or fewer variables than its row binds, or a hook named
// differently from its row, fails the build.

namespace {

constexpr Callable auth_required_row() {
    return {
        .name = "auth_required", .qualname = "auth_required", .first_line = 9, .coroutine = false,
        .params = {{"func"}}, .locals = {"need_auth"},
        .bound = {access_control::auth_required, access_control::DecoratorArgs::count}, .cellvars = {"func"},
        .lines = {10, 16},
    };
}

constexpr Callable auth_required_async_row() {
    return {
        .name = "auth_required_async", .qualname = "auth_required_async", .first_line = 18, .coroutine = false,
        .params = {{"func"}}, .locals = {"need_auth"},
        .bound = {access_control::auth_required_async, access_control::DecoratorArgs::count}, .cellvars = {"func"},
        .lines = {19, 25},
    };
}

constexpr Callable need_auth_row() {
    return {
        .name = "need_auth", .qualname = "auth_required.<locals>.need_auth", .first_line = 11, .coroutine = false,
        .params = {}, .varargs = "args", .varkw = "kwargs", .locals = {"acl"},
        .raw = access_control::need_auth, .freevars = {"func"},
        .lines = {12, 13, 14, 15},
    };
}

constexpr Callable need_auth_async_row() {
    return {
        .name = "need_auth", .qualname = "auth_required_async.<locals>.need_auth", .first_line = 20, .coroutine = true,
        .params = {}, .varargs = "args", .varkw = "kwargs", .locals = {"acl"},
        .raw = access_control::need_auth_async, .freevars = {"func"},
        .lines = {21, 22, 23, 24},
    };
}

constexpr std::vector<Callable> auth_client_table() {
    return {
        {
            .name = "__init__", .qualname = "AuthClient.__init__", .first_line = 28, .coroutine = false,
            .params = {{"self"}, {"api_root", Ann::str, Default::api_root}},
            .bound = {access_control::auth_client_init, access_control::AuthClientInitArgs::count},
            .lines = {29, 30, 31, 32},
        },
        {
            .name = "get_api_acl", .qualname = "AuthClient.get_api_acl", .first_line = 34, .coroutine = false,
            .params = {{"self"}, {"api_key", Ann::str}, {"app_name", Ann::str}, {"api_id", Ann::str, Default::empty_str}},
            .locals = {"r", "result", "e"},
            .doc = {.summary = "Get Access Control List of API",
                    .args = {"api_key: API Key", "api_id: API ID", "app_name: app_name to check the API Key"},
                    .returns = {"API Detail or Error Message"}},
            .bound = {access_control::get_api_acl, access_control::GetApiAclArgs::count},
            .lines = {45, 47, 49, 50, 51, 52, 53, 55},
        },
    };
}

constexpr std::vector<Callable> broadcaster_table() {
    return {
        {
            .name = "accept", .qualname = "Broadcaster.accept", .first_line = 65, .coroutine = true,
            .params = {{"cls"}, {"websocket"}},
            .doc = {.summary = "Accept Event of a websocket event", .args = {"websocket: websocket object"}},
            .bound = {broadcaster::accept, broadcaster::AcceptArgs::count}, .classmethod_line = 64, .hook = Hook::accept,
        },
        {
            .name = "subscribe", .qualname = "Broadcaster.subscribe", .first_line = 73, .coroutine = true,
            .params = {{"cls"}, {"websocket"}, {"class_name", Ann::str}, {"data_scope", Ann::list, Default::none},
                       {"catalog", Ann::dict, Default::none}, {"show_hidden", Ann::bool_, Default::false_},
                       {"start_seq", Ann::str, Default::empty_str}, {"acl", Ann::none, Default::none}},
            .varkw = "kwargs", .locals = {"sub_params"},
            .doc = {.summary = "Subscribe to a connection",
                    .args = {"websocket: websocket object", "class_name: Document Class Name",
                             "data_scope: The subset of data to be shown", "catalog: data to be shown",
                             "show_hidden: Show hidden data or not",
                             "start_seq: Not interested on the message before this start sequence",
                             "acl: User access Control"},
                    .comments = {"* Know message to route to which client", "* Know the message content to be sent"}},
            .bound = {broadcaster::subscribe, broadcaster::SubscribeArgs::count}, .classmethod_line = 72,
            .lines = {90, 91, 92, 100, 101}, .hook = Hook::subscribe,
        },
        {
            .name = "disconnect", .qualname = "Broadcaster.disconnect", .first_line = 111, .coroutine = false,
            .params = {{"cls"}, {"websocket"}}, .locals = {"_", "doc_class_subscriber"},
            .doc = {.summary = "Disconnect the subscriber", .args = {"websocket:"}},
            .bound = {broadcaster::disconnect, broadcaster::DisconnectArgs::count}, .classmethod_line = 110,
            .lines = {117},
            .hook = Hook::disconnect,
        },
        {
            .name = "send_message_async", .qualname = "Broadcaster.send_message_async", .first_line = 121,
            .coroutine = true, .params = {{"cls"}, {"websocket"}, {"message", Ann::str}},
            .doc = {.summary = "Send message to the target websocket",
                    .args = {"websocket: websocket object", "message (str): message content"}},
            .bound = {broadcaster::send_message_async, broadcaster::SendMessageArgs::count}, .classmethod_line = 120,
            .hook = Hook::send_message_async,
        },
        {
            .name = "send_json_async", .qualname = "Broadcaster.send_json_async", .first_line = 130,
            .coroutine = true, .params = {{"cls"}, {"websocket"}, {"content", Ann::dict}}, .locals = {"message"},
            .doc = {.summary = "Send json message in async mode",
                    .args = {"websocket: websocket object", "content (dict): dictionary to be jsonify"}},
            .bound = {broadcaster::send_json_async, broadcaster::SendJsonArgs::count}, .classmethod_line = 129,
            .lines = {137, 138},
            .hook = Hook::send_json_async,
        },
        {
            .name = "get_message_body", .qualname = "Broadcaster.get_message_body", .first_line = 142,
            .coroutine = false,
            .params = {{"cls"}, {"doc", Ann::document}, {"data_scope", Ann::list}, {"catalog", Ann::dict},
                       {"show_hidden", Ann::bool_}},
            .returns = Ann::optional_dict,
            .doc = {.summary = "Get message body from document",
                    .args = {"doc: Document object holding contents", "data_scope: data scope", "catalog: data catalog",
                             "show_hidden: Should show hidden value or not"},
                    .returns = {"json object if data on the scope else None"}},
            .bound = {broadcaster::get_message_body, broadcaster::MessageBodyArgs::count}, .classmethod_line = 141,
            .lines = {155},
            .hook = Hook::get_message_body,
        },
        {
            .name = "subscriber_is_connected", .qualname = "Broadcaster.subscriber_is_connected", .first_line = 161,
            .coroutine = false, .params = {{"cls"}, {"websocket"}},
            .doc = {.summary = "Check if the websocket is connected", .args = {"websocket: websocket object"}},
            .bound = {broadcaster::subscriber_is_connected, broadcaster::SubscriberIsConnectedArgs::count},
            .classmethod_line = 160, .hook = Hook::subscriber_is_connected,
        },
        {
            .name = "check_subscriber_acl", .qualname = "Broadcaster.check_subscriber_acl", .first_line = 170,
            .coroutine = false, .params = {{"cls"}, {"doc", Ann::document}, {"acl"}},
            .doc = {.summary = "Check if subscriber has right to get the data",
                    .args = {"doc: document to control", "acl: User access List"},
                    .returns = {"True if use has authorization else False"}},
            .bound = {broadcaster::check_subscriber_acl, broadcaster::CheckAclArgs::count}, .classmethod_line = 169,
            .lines = {180},
            .hook = Hook::check_subscriber_acl,
        },
        {
            .name = "document_sent_async", .qualname = "Broadcaster.document_sent_async", .first_line = 184,
            .coroutine = true, .params = {{"cls"}, {"doc", Ann::document}, {"op", Ann::str}, {"seq", Ann::str}},
            .posonly = 1,
            .locals = {"doc_class", "doc_class_subscriber", "closed_subscribers", "websocket", "param", "message",
                       "closed_subscriber"},
            .doc = {.summary = " Sending document in async mode",
                    .args = {"doc: Document object", "op: Operation Type", "seq: Create Sequence"}},
            .bound = {broadcaster::document_sent_async, broadcaster::DocumentSentArgs::count}, .classmethod_line = 182,
            .lines = {192, 193, 194, 195, 196, 197, 198, 200, 201, 203, 204, 206, 208, 209, 211, 212, 213},
            .decorator_line = 183, .hook = Hook::document_sent_async,
        },
    };
}

// Whether a row's body reads as many variables as the row binds: its parameters, then a `*args`
// and a `**kwargs` where it has them.
constexpr bool binds_what_body_reads(const Callable& row) {
    const auto binds = static_cast<Py_ssize_t>(row.params.size()) + (row.varargs ? 1 : 0) + (row.varkw ? 1 : 0);
    return !row.bound.body || row.bound.binds == binds;
}

constexpr bool binds_what_bodies_read(const std::vector<Callable>& rows) {
    for (const Callable& row : rows)
        if (!binds_what_body_reads(row)) return false;
    return true;
}

// Whether every hook is exactly one row, the method of that hook's name.
constexpr bool each_hook_once(const std::vector<Callable>& rows) {
    for (int hook = 0; hook < static_cast<int>(Hook::count); ++hook) {
        int rows_of_hook = 0;
        for (const Callable& row : rows) {
            if (row.hook != static_cast<Hook>(hook)) continue;
            if (std::string_view(row.name) != broadcaster::hook_name(*row.hook)) return false;
            ++rows_of_hook;
        }
        if (rows_of_hook != 1) return false;
    }
    return true;
}

// The name of a row's variable `index`, in the code's order: parameters, `*args`, `**kwargs`,
// then the further locals; empty past the end.
constexpr std::string_view variable(const Callable& row, Py_ssize_t index) {
    std::vector<const char*> names;
    for (const Param& param : row.params) names.push_back(param.name);
    if (row.varargs) names.push_back(row.varargs);
    if (row.varkw) names.push_back(row.varkw);
    names.insert(names.end(), row.locals.begin(), row.locals.end());
    return index >= 0 && index < static_cast<Py_ssize_t>(names.size()) ? names[static_cast<size_t>(index)] : "";
}

constexpr std::string_view variable(const std::vector<Callable>& rows, std::string_view method, Py_ssize_t index) {
    for (const Callable& row : rows)
        if (row.name == method) return variable(row, index);
    return "";
}

// Each member of a body's Args enum names the variable it reads: two members swapped, or one
// missing, fail the build here.
#define READS(rows, method, Args, member) static_assert(variable(rows, method, Args::member) == #member)
static_assert(variable(auth_required_row(), access_control::DecoratorArgs::func) == "func");
static_assert(variable(auth_required_async_row(), access_control::DecoratorArgs::func) == "func");
READS(auth_client_table(), "__init__", access_control::AuthClientInitArgs, self);
READS(auth_client_table(), "__init__", access_control::AuthClientInitArgs, api_root);
READS(auth_client_table(), "get_api_acl", access_control::GetApiAclArgs, self);
READS(auth_client_table(), "get_api_acl", access_control::GetApiAclArgs, api_key);
READS(auth_client_table(), "get_api_acl", access_control::GetApiAclArgs, app_name);
READS(auth_client_table(), "get_api_acl", access_control::GetApiAclArgs, api_id);
READS(auth_client_table(), "get_api_acl", access_control::GetApiAclArgs, r);
READS(broadcaster_table(), "accept", broadcaster::AcceptArgs, cls);
READS(broadcaster_table(), "accept", broadcaster::AcceptArgs, websocket);
READS(broadcaster_table(), "subscribe", broadcaster::SubscribeArgs, cls);
READS(broadcaster_table(), "subscribe", broadcaster::SubscribeArgs, websocket);
READS(broadcaster_table(), "subscribe", broadcaster::SubscribeArgs, class_name);
READS(broadcaster_table(), "subscribe", broadcaster::SubscribeArgs, data_scope);
READS(broadcaster_table(), "subscribe", broadcaster::SubscribeArgs, catalog);
READS(broadcaster_table(), "subscribe", broadcaster::SubscribeArgs, show_hidden);
READS(broadcaster_table(), "subscribe", broadcaster::SubscribeArgs, start_seq);
READS(broadcaster_table(), "subscribe", broadcaster::SubscribeArgs, acl);
READS(broadcaster_table(), "subscribe", broadcaster::SubscribeArgs, kwargs);
READS(broadcaster_table(), "disconnect", broadcaster::DisconnectArgs, cls);
READS(broadcaster_table(), "disconnect", broadcaster::DisconnectArgs, websocket);
READS(broadcaster_table(), "subscriber_is_connected", broadcaster::SubscriberIsConnectedArgs, cls);
READS(broadcaster_table(), "subscriber_is_connected", broadcaster::SubscriberIsConnectedArgs, websocket);
READS(broadcaster_table(), "send_message_async", broadcaster::SendMessageArgs, cls);
READS(broadcaster_table(), "send_message_async", broadcaster::SendMessageArgs, websocket);
READS(broadcaster_table(), "send_message_async", broadcaster::SendMessageArgs, message);
READS(broadcaster_table(), "send_json_async", broadcaster::SendJsonArgs, cls);
READS(broadcaster_table(), "send_json_async", broadcaster::SendJsonArgs, websocket);
READS(broadcaster_table(), "send_json_async", broadcaster::SendJsonArgs, content);
READS(broadcaster_table(), "get_message_body", broadcaster::MessageBodyArgs, cls);
READS(broadcaster_table(), "get_message_body", broadcaster::MessageBodyArgs, doc);
READS(broadcaster_table(), "get_message_body", broadcaster::MessageBodyArgs, data_scope);
READS(broadcaster_table(), "get_message_body", broadcaster::MessageBodyArgs, catalog);
READS(broadcaster_table(), "get_message_body", broadcaster::MessageBodyArgs, show_hidden);
READS(broadcaster_table(), "check_subscriber_acl", broadcaster::CheckAclArgs, cls);
READS(broadcaster_table(), "check_subscriber_acl", broadcaster::CheckAclArgs, doc);
READS(broadcaster_table(), "check_subscriber_acl", broadcaster::CheckAclArgs, acl);
READS(broadcaster_table(), "document_sent_async", broadcaster::DocumentSentArgs, cls);
READS(broadcaster_table(), "document_sent_async", broadcaster::DocumentSentArgs, doc);
READS(broadcaster_table(), "document_sent_async", broadcaster::DocumentSentArgs, op);
READS(broadcaster_table(), "document_sent_async", broadcaster::DocumentSentArgs, seq);
#undef READS

static_assert(binds_what_body_reads(auth_required_row()));
static_assert(binds_what_body_reads(auth_required_async_row()));
static_assert(binds_what_body_reads(need_auth_row()));
static_assert(binds_what_body_reads(need_auth_async_row()));
static_assert(binds_what_bodies_read(auth_client_table()));
static_assert(binds_what_bodies_read(broadcaster_table()));
static_assert(each_hook_once(broadcaster_table()));

}  // namespace

const Callable auth_required = auth_required_row();
const Callable auth_required_async = auth_required_async_row();
const Callable need_auth = need_auth_row();
const Callable need_auth_async = need_auth_async_row();
const std::vector<Callable> auth_client_methods = auth_client_table();
const std::vector<Callable> broadcaster_methods = broadcaster_table();

// ---- derived from the table ----

namespace {

void add_section(std::string& text, const char* header, const std::vector<const char*>& entries) {
    if (entries.empty()) return;
    text += "\n\n        ";
    text += header;
    for (const char* entry : entries) {
        text += "\n            ";
        text += entry;
    }
}

}  // namespace

Ref docstring(const Doc& doc) {
    if (!doc.summary) return {};
    std::string text = doc.summary;
    add_section(text, "Args:", doc.args);
    add_section(text, "Returns:", doc.returns);
    add_section(text, "Comments:", doc.comments);
    text += "\n        ";
    return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref code_for(const Callable& callable, PyObject* filename) {
    std::vector<const char*> varnames;
    for (const Param& param : callable.params) varnames.push_back(param.name);
    if (callable.varargs) varnames.push_back(callable.varargs);
    if (callable.varkw) varnames.push_back(callable.varkw);
    varnames.insert(varnames.end(), callable.locals.begin(), callable.locals.end());
    rt::CodeShape shape{
        .name = callable.name,
        .qualname = callable.qualname,
        .first_line = callable.first_line,
        .varnames = varnames,
        .argcount = static_cast<int>(callable.params.size()),
        .posonly = callable.posonly,
        .varargs = callable.varargs != nullptr,
        .varkw = callable.varkw != nullptr,
        .coroutine = callable.coroutine,
        .nested = !callable.freevars.empty(),
        .freevars = callable.freevars,
        .cellvars = callable.cellvars,
        .lines = callable.lines,
    };
    return rt::make_code(filename, shape);
}

Ref defaults_for(const Callable& callable) {
    std::vector<Ref> values;
    for (const Param& param : callable.params) {
        switch (param.fallback) {
            case Default::required: continue;
            case Default::none: values.push_back(rt::none()); break;
            case Default::false_: values.push_back(rt::boolean(false)); break;
            case Default::empty_str: values.push_back(Ref::steal(PyUnicode_FromString(""))); break;
            case Default::api_root: values.push_back(Ref::steal(PyUnicode_FromString(kApiRoot))); break;
        }
        if (!values.back()) return {};
    }
    if (values.empty()) return {};
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    if (!tuple) return {};
    for (size_t i = 0; i < values.size(); ++i)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), values[i].release());
    return tuple;
}

}  // namespace surface
