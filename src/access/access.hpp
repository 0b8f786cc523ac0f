// Access control: the ACL decorators and the client of the authentication service.
#pragma once

#include "runtime/function.hpp"

namespace access_control {

// Each bound body reads its variables through the enum above it, in the order of the code's
// variable names; `count` is how many the call binds, checked against the surface table.

// auth_required(func) / auth_required_async(func)
struct DecoratorArgs { enum : Py_ssize_t { func, count, need_auth = count }; };
// The steps of a body, in the order of its code's line table (0 is the first line).
struct DecoratorSteps { enum : int { wraps = 1, done }; };
struct NeedAuthSteps { enum : int { read_acl = 1, check, refuse, call }; };
PyObject* auth_required(rt::Function* fn, PyObject* const* locals);
PyObject* auth_required_async(rt::Function* fn, PyObject* const* locals);

// The code objects of the wrappers they make, given by the module as it defines the decorators.
void set_wrapper_codes(PyObject* plain, PyObject* coroutine);

// The wrappers they make: need_auth(*args, **kwargs), plain and coroutine.
PyObject* need_auth(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* need_auth_async(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// AuthClient.__init__(self, api_root)
struct AuthClientInitArgs { enum : Py_ssize_t { self, api_root, count }; };
PyObject* auth_client_init(rt::Function* fn, PyObject* const* locals);
// AuthClient.get_api_acl(self, api_key, app_name, api_id), whose frame then holds the reply `r`
struct GetApiAclArgs { enum : Py_ssize_t { self, api_key, app_name, api_id, count, r = count, result, e }; };
struct GetApiAclSteps {
    enum : int { request = 1, decode, undecodable, id_check, id_mismatch, status_check, status_error, reply };
};
PyObject* get_api_acl(rt::Function* fn, PyObject* const* locals);

}  // namespace access_control
