// Interned attribute and key names, made on first use and kept for the life of the process.
#pragma once

#include "runtime/ref.hpp"

namespace rt {

class Name {
public:
    constexpr explicit Name(const char* text) : text_(text) {}
    // Borrowed; null (with an exception set) only if the string could not be made.
    PyObject* get() const {
        if (!object_) object_ = PyUnicode_InternFromString(text_);
        return object_;
    }
    const char* text() const { return text_; }

private:
    const char* text_;
    mutable PyObject* object_ = nullptr;
};

// A name as the interpreter resolves it in code run in `globals`: the namespace, then its
// builtins; NameError when neither has it.
Ref load_global(PyObject* globals, PyObject* builtins, PyObject* name);

}  // namespace rt
