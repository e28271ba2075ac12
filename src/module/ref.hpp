// Owned references to Python objects.
//
// Rules of use, for every file of this module:
//
//  1. A PyObject* that this code owns lives in a Ref, and in exactly one Ref.
//     A raw PyObject* anywhere else is borrowed: never decref it, never return it.
//  2. Say how a reference arrives. Ref::steal(p) takes over a new reference (what a
//     C API call that "returns a new reference" hands back); Ref::newRef(p) adds a
//     reference to a pointer that is only borrowed. Both accept NULL.
//  3. borrow() passes the pointer to the C API without touching its count. There is no
//     implicit conversion to PyObject*, so a borrow is always visible at the call site.
//  4. release() is the one hand-over: it gives the reference to the caller (the
//     interpreter, when a function returns) and leaves the Ref empty.
//  5. An empty Ref coming back from a fallible step means "an exception is pending".
//     Test it with `if (!r)` and return an empty Ref in turn; the destructor of every
//     Ref on the way out drops what was built so far.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vsn {

class Ref {
  public:
    Ref() noexcept = default;

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref newRef(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            // Decref last: a destructor run by it may look at this Ref again.
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* borrow() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    Ref copy() const noexcept { return newRef(p_); }
    void reset() noexcept { Py_CLEAR(p_); }

    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace vsn
