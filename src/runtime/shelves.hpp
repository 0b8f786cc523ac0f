// A free list: objects kept for reuse rather than given back to the allocator. Most coroutines
// live for one await, and the next one made is most likely alike.
#pragma once

#include "runtime/layout.hpp"

namespace rt {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kReuse = false;  // every object goes back to the allocator, where misuse is caught
#else
inline constexpr bool kReuse = true;
#endif

// Objects of one type and size.
class Shelf {
public:
    PyObject* take() { return count_ ? items_[--count_] : nullptr; }
    bool keep(PyObject* obj) {
        if (!kReuse || count_ == kDepth) return false;
        items_[count_++] = obj;
        return true;
    }

private:
    static constexpr int kDepth = 16;
    int count_ = 0;
    PyObject* items_[kDepth];
};

// Objects of one type, one shelf per size (for coroutines, the size of their body). Each shelf
// holds objects of a type that is not a heap type, so a kept object needs no reference to it.
class Shelves {
public:
    // A kept object of `size`, made anew as the allocator leaves one; null when none is kept.
    PyObject* take(Py_ssize_t size) {
        for (Sized& shelf : shelves_)
            if (shelf.size == size)
                if (PyObject* obj = shelf.objects.take()) return renew_object(obj);
        return nullptr;
    }

    // Whether `obj` (of `size`) is kept; when not, the caller frees it.
    bool keep(PyObject* obj, Py_ssize_t size) {
        for (Sized& shelf : shelves_) {
            if (shelf.size == -1) shelf.size = size;
            if (shelf.size == size) return shelf.objects.keep(obj);
        }
        return false;
    }

private:
    struct Sized {
        Py_ssize_t size = -1;
        Shelf objects;
    };
    Sized shelves_[4];
};

}  // namespace rt
