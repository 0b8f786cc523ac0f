// Owning handle for one strong reference to a Python object.
//
// Rules of use, everywhere in the module:
// - A function that gives a new reference returns it as a Ref; a raw PyObject* it returns is
//   borrowed, except where a slot or API signature wants a new reference (then it is made with
//   release() at the return, and its comment says so).
// - A PyObject* parameter is borrowed: the caller keeps it alive for the call, and the callee
//   takes its own Ref (Ref::borrow) before anything that can run Python code if it needs the
//   object afterwards.
// - A borrowed result that is good only "until X" says what X is in its declaration's comment
//   (the next call of the same method, the next change of the container, ...); holding it past
//   X, or past anything that can run Python code when X is that, is a use-after-free.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace rt {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference (as returned by most API calls); null stays null.
    static Ref steal(PyObject* obj) noexcept {
        Ref r;
        r.ptr_ = obj;
        return r;
    }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return steal(obj);
    }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

    // Drops the reference; the slot is empty before the object can run any code.
    void reset() noexcept {
        PyObject* old = std::exchange(ptr_, nullptr);
        Py_XDECREF(old);
    }

private:
    PyObject* ptr_ = nullptr;
};

// Up to N strong references held together (the first `size()` of them; any may be null), for
// values kept as they came, such as a call's arguments.
template <Py_ssize_t N>
class RefArray {
public:
    RefArray() noexcept = default;
    RefArray(PyObject* const* items, Py_ssize_t count) noexcept : count_(count < N ? count : N) {
        for (Py_ssize_t i = 0; i < count_; ++i) items_[i] = Ref::borrow(items[i]).release();
    }
    RefArray(const RefArray&) = delete;
    RefArray& operator=(const RefArray&) = delete;
    ~RefArray() {
        for (Py_ssize_t i = 0; i < count_; ++i) Ref::steal(items_[i]).reset();
    }

    PyObject* const* data() const noexcept { return items_; }
    Py_ssize_t size() const noexcept { return count_; }

    int traverse(visitproc visitor, void* arg) const {
        for (Py_ssize_t i = 0; i < count_; ++i)
            if (items_[i])
                if (int err = visitor(items_[i], arg)) return err;
        return 0;
    }

private:
    PyObject* items_[N];
    Py_ssize_t count_ = 0;
};

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

// For tp_traverse: visits the object a handle holds.
inline int visit(const Ref& ref, visitproc visitor, void* arg) {
    return ref ? visitor(ref.get(), arg) : 0;
}

}  // namespace rt
