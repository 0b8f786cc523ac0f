// The module's public surface as data: every function and method with its kind, parameters,
// defaults, annotations, names, first line and docstring, and the native body behind it.
#pragma once

#include "broadcaster/hooks.hpp"
#include "runtime/function.hpp"

#include <optional>
#include <string>
#include <vector>

namespace surface {

// Annotation expressions, evaluated when the function is made.
enum class Ann : unsigned char { none, str, list, dict, bool_, document, optional_dict };

enum class Default : unsigned char { required, none, false_, empty_str, api_root };

struct Param {
    const char* name;
    Ann annotation = Ann::none;
    Default fallback = Default::required;
};

struct Doc {
    const char* summary = nullptr;  // null: no docstring
    std::vector<const char*> args = {};
    std::vector<const char*> returns = {};
    std::vector<const char*> comments = {};
};

struct Callable {
    const char* name;
    const char* qualname;
    int first_line;
    bool coroutine;
    std::vector<Param> params;            // positional parameters, in order
    int posonly = 0;
    const char* varargs = nullptr;        // name of `*args`, if any
    const char* varkw = nullptr;          // name of `**kwargs`, if any
    std::vector<const char*> locals = {}; // further local names after the parameters
    Ann returns = Ann::none;
    Doc doc = {};
    rt::Bound bound = {};                 // the body and how many variables it reads
    rt::RawBody raw = nullptr;
    std::vector<const char*> freevars = {};
    std::vector<const char*> cellvars = {};
    int classmethod_line = 0;             // line of `@classmethod`, for methods stored as class methods
    std::vector<int> lines = {};          // the line of each step of the body (its Step enum), in order
    int decorator_line = 0;               // line of `@auth_required_async`, where it decorates
    std::optional<broadcaster::Hook> hook = {};  // the hook a Broadcaster method is, named by `name`
};

// The default of AuthClient's `api_root`: the authentication service's API root.
inline constexpr const char* kApiRoot = "https://auth.example.org/api/";

extern const Callable auth_required;
extern const Callable auth_required_async;
extern const Callable need_auth;        // the wrapper auth_required makes
extern const Callable need_auth_async;  // the wrapper auth_required_async makes
extern const std::vector<Callable> auth_client_methods;
extern const std::vector<Callable> broadcaster_methods;

inline constexpr int kAuthClientLine = 27;
inline constexpr int kBroadcasterLine = 60;
inline constexpr const char* kBroadcasterDoc = "Broadcasting document into subscribers (via websocket)";

// The docstring laid out as the house style wants it; null when the callable has none.
rt::Ref docstring(const Doc& doc);

// The code object describing a callable, in the file `filename`.
rt::Ref code_for(const Callable& callable, PyObject* filename);

// The default values of a callable's parameters, or null when it has none.
rt::Ref defaults_for(const Callable& callable);

}  // namespace surface
