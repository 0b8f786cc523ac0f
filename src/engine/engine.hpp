// The boundary towards the engine package: the document operations the module calls and the
// engine's exception classes, read from the module namespace at the moment of use.
#pragma once

#include "runtime/function.hpp"
#include "runtime/placement.hpp"

namespace engine {

// doc.__class__.__name__
rt::Ref class_name(PyObject* doc);

// A document as the engine's operations call it: each call is doc.<name>(...), found as the
// interpreter finds it. A document kept for many calls (one event, many subscribers) uses what
// it found again while neither its class nor its own attributes have changed.
class Document {
public:
    // A document for one call: each operation is looked up as it is called.
    static Document once(PyObject* doc) { return Document(doc, Lookups::each_call); }
    // A document kept for many calls: what the lookups found is used again while it holds.
    static Document kept(PyObject* doc) { return Document(doc, Lookups::kept); }

    PyObject* get() const { return doc_.get(); }

    // doc.check_acl(acl, "read", doc, False)
    rt::Ref check_acl(PyObject* acl);

    // doc.check_scope(data_scope), then doc.get_display_data(catalog=..., show_hidden=...); None
    // when the document is out of scope (OutOfScopeError, as the module namespace binds it,
    // raised by either).
    rt::Ref message_body(rt::Function* fn, PyObject* data_scope, PyObject* catalog, PyObject* show_hidden);

    int traverse(visitproc visitor, void* arg) const;

private:
    enum Op : int { kAclOp, kScopeOp, kDisplayOp, kOps };
    enum class Lookups : bool { each_call, kept };

    Document(PyObject* doc, Lookups lookups) : doc_(rt::Ref::borrow(doc)), kept_(lookups == Lookups::kept) {}

    rt::Ref doc_;
    bool kept_;
    // What the lookups found, and the state of the class and of the document they hold for.
    bool found_ = false;
    rt::Ref type_;
    unsigned int version_ = 0;
    rt::Ref functions_[kOps];    // the plain function doc.<op> calls; empty: look it up each time
    bool in_values_ = false;     // the document's attributes under its class's shared names
    const void* shared_names_ = nullptr;
    Py_ssize_t shared_count_ = 0;
    rt::Ref dict_;               // or in this dict of its own (or in none)
    uint64_t dict_version_ = 0;

    // doc.<op>(args[1:]), args[0] being the document.
    rt::Ref call(Op op, PyObject* const* args, size_t nargs, PyObject* kwnames);
    PyObject* found_function(Op op);
    bool still_found() const;
    RT_COLD void find_functions();
};

// Raises AuthorizationError(message), as the module namespace binds it; always returns null.
PyObject* raise_authorization_error(rt::Function* fn, const char* message);

}  // namespace engine
