// The boundary towards the engine package: the document operations the module calls and the
// engine's exception classes, read from the module namespace at the moment of use.
#pragma once

#include "runtime/function.hpp"

namespace engine {

// doc.__class__.__name__
rt::Ref class_name(PyObject* doc);

// doc.check_acl(acl, "read", doc, False)
rt::Ref check_acl(PyObject* doc, PyObject* acl);

// doc.check_scope(data_scope), then doc.get_display_data(catalog=..., show_hidden=...); None when
// the document is out of scope (OutOfScopeError, as the module namespace binds it, raised by either).
rt::Ref message_body(rt::Function* fn, PyObject* doc, PyObject* data_scope, PyObject* catalog, PyObject* show_hidden);

// Raises AuthorizationError(message), as the module namespace binds it; always returns null.
PyObject* raise_authorization_error(rt::Function* fn, const char* message);

}  // namespace engine
