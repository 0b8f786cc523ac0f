// How the broadcaster reaches its own methods and the host's overrides: always as `cls.<name>`.
//
// When `cls.<name>` would give the module's own class method (the host did not override it), its
// body may run directly, which is what the attribute lookup and call would do anyway. A class
// method wrapping a plain function is called with `cls` first, as the bound method would be,
// without making the bound method.
#pragma once

#include "runtime/function.hpp"
#include "runtime/layout.hpp"
#include "runtime/placement.hpp"
#include "runtime/ref.hpp"

#include <algorithm>
#include <initializer_list>

namespace broadcaster {

// The class's methods that the broadcaster reaches as `cls.<name>`: the one list their enum and
// their names are made from.
#define BROADCASTER_HOOKS(X) \
    X(accept)                \
    X(subscribe)             \
    X(disconnect)            \
    X(send_message_async)    \
    X(send_json_async)       \
    X(get_message_body)      \
    X(subscriber_is_connected) \
    X(check_subscriber_acl)  \
    X(document_sent_async)

enum class Hook : int {
#define BROADCASTER_HOOK_ENUM(name) name,
    BROADCASTER_HOOKS(BROADCASTER_HOOK_ENUM)
#undef BROADCASTER_HOOK_ENUM
    count,
};

// The attribute name of each hook, in the enum's order.
inline constexpr const char* kHookNames[] = {
#define BROADCASTER_HOOK_NAME(name) #name,
    BROADCASTER_HOOKS(BROADCASTER_HOOK_NAME)
#undef BROADCASTER_HOOK_NAME
};

constexpr const char* hook_name(Hook hook) { return kHookNames[static_cast<int>(hook)]; }

// Called while the class is made, with each class method as stored in its namespace.
void forget_own_methods();
void remember_own_method(Hook hook, PyObject* classmethod);
// The function the module's own class method for `hook` wraps (borrowed; null before the class is made).
PyObject* own_function(Hook hook);

// `cls.<hook>`, looked up and ready to be called.
class Method {
public:
    // Null (with an exception set) when the lookup failed.
    explicit operator bool() const { return static_cast<bool>(callable_); }
    // True when it is the module's own method, whose body the caller may run directly (but not
    // while a profile or trace function is set, which must see the method called).
    bool is_own() const { return own_; }
    // The call; a new reference, or null with an exception set.
    rt::Ref operator()(PyObject* cls, std::initializer_list<PyObject*> args) const {
        constexpr size_t kMaxArgs = 4;
        if (!with_class_ || args.size() > kMaxArgs) return call_bound(args);
        PyObject* stack[2 + kMaxArgs];
        stack[1] = cls;
        std::copy(args.begin(), args.end(), stack + 2);
        return rt::call(callable_.get(), stack + 1, (1 + args.size()) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }
    // False when the class method it was found through has been given another function since
    // (classmethod.__init__ changes it in place, which leaves the class's version as it was).
    bool still_wraps() const {
        return !descr_ || rt::classmethod_callable(descr_.get()) == callable_.get();
    }
    int traverse(visitproc visitor, void* arg) const {
        if (int err = rt::visit(callable_, visitor, arg)) return err;
        return rt::visit(descr_, visitor, arg);
    }

private:
    friend Method class_method(Hook hook, PyObject* found);
    friend Method bound_attribute(PyObject* cls, Hook hook);
    rt::Ref call_bound(std::initializer_list<PyObject*> args) const;

    rt::Ref callable_;         // the function to call with `cls` first, or the bound attribute
    rt::Ref descr_;            // the class method that wraps that function
    bool with_class_ = false;
    bool own_ = false;
};

// `cls.<hook>`
Method lookup_hook(PyObject* cls, Hook hook);

// `cls.<hook>(args...)`; a new reference, or null with an exception set.
rt::Ref call_hook(PyObject* cls, Hook hook, std::initializer_list<PyObject*> args);

// `cls.active_connections`
rt::Ref registry_of(PyObject* cls);

// The hooks of one class, for a loop that uses them over and over: what `cls.<hook>` finds is
// remembered for as long as the class (and its bases) stay unmodified, which the class's
// version tag tells, and the class method it was found through still wraps the same function.
// A class with a metaclass of its own, or a hook that is no class method of a function, is
// asked at each use.
class Hooks {
public:
    explicit Hooks(rt::Ref cls) : cls_(std::move(cls)) {}

    PyObject* cls() const { return cls_.get(); }
    // `cls.<hook>` as the class stands now. Borrowed until the next lookup() or call() on these
    // same hooks, which may replace the entry it refers to; the Method holds its own references.
    const Method& lookup(Hook hook) {
        const int index = static_cast<int>(hook);
        PyObject* cls = cls_.get();
        if (Py_IS_TYPE(cls, &PyType_Type) && still_found(reinterpret_cast<PyTypeObject*>(cls), index) && methods_[index])
            [[likely]]
            return methods_[index];
        return find(hook);
    }
    rt::Ref call(Hook hook, std::initializer_list<PyObject*> args);
    int traverse(visitproc visitor, void* arg) const;

private:
    rt::Ref cls_;
    unsigned int version_ = 0;  // the class's version tag when `methods_` were found; 0: none
    unsigned int known_ = 0;    // one bit per hook found under that version
    Method methods_[static_cast<int>(Hook::count)];  // empty where the lookup must run each time
    Method latest_;  // a lookup that could not be kept

    // Whether what the lookup of the hook at `index` found under the class's version still
    // stands: the class unmodified since, and the class method found still wrapping its function.
    bool still_found(PyTypeObject* type, int index) const {
        return type->tp_version_tag == version_ && (known_ >> index & 1u) &&
               PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && methods_[index].still_wraps();
    }
    RT_COLD const Method& find(Hook hook);
};

}  // namespace broadcaster
