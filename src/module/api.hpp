// The C API layer that every function of the module is written on: module-level name
// lookup, calls, traceback entries and argument binding.
//
// Every helper that can fail returns an empty Ref (or -1 / false) with the exception
// set, so that a body is a straight line of `if (!x) return {};`.
#pragma once

#include "module/ref.hpp"
#include "module/state.hpp"

#include <array>

// Before 3.13 every interpreter has a GIL, and a critical section is the GIL itself.
#ifndef Py_BEGIN_CRITICAL_SECTION
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

namespace vsn {

// Where a module function stands, so that an exception leaving it gets one traceback
// entry at the line of the statement that failed.
class Frame {
  public:
    Frame(const char* label, int line) noexcept : label_(label), line_(line) {}
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    void at(int line) noexcept { line_ = line; }
    int line() const noexcept { return line_; }
    const char* label() const noexcept { return label_; }

    // Hands a body's result to the interpreter; on failure, first adds the entry.
    PyObject* finish(Ref result) noexcept { return result ? result.release() : fail(); }
    // Adds the entry for a failure at the current line; always nullptr.
    PyObject* fail() noexcept;

  private:
    const char* label_;
    int line_;
};

// Py_EnterRecursiveCall and Py_LeaveRecursiveCall, for a C function that may be called
// again through C alone (a descriptor written in C) with no Python frame in between.
// On 3.12 and 3.13 the counter they step is a field of the thread state that the public
// header lays out (its trashcan macros step it too): counting it here finds the thread
// state once instead of in two calls. Near the limit the interpreter's own call decides,
// so the error, its message and the headroom it allows are its own.
class RecursionGuard {
  public:
    // False with the exception set.
    bool enter(const char* where) noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
        state_ = PyThreadState_GET();
        if (state_->c_recursion_remaining >= kUnits) {
            state_->c_recursion_remaining -= kUnits;
            taken_ = kUnits;
            return true;
        }
        taken_ = 1;  // what the interpreter's own call takes
#endif
        return Py_EnterRecursiveCall(where) == 0;
    }
    // Only after an enter that succeeded.
    void leave() noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
        state_->c_recursion_remaining += taken_;
#else
        Py_LeaveRecursiveCall();
#endif
    }

  private:
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
#if PY_VERSION_HEX >= 0x030D0000
    // 3.13 allows 10000 units for an 8 MiB stack (3000 on Windows), each sized for its
    // own small frames; 3.12 allowed 1500. One level of a cycle through a record
    // method and a descriptor written in C takes about 500 bytes of stack, and twice that
    // with the sanitizers' larger frames: counted as one unit, such a cycle would run off
    // the end of the stack before the count ran out.
    static constexpr int kUnits = 4;
#else
    static constexpr int kUnits = 1;
#endif
    PyThreadState* state_ = nullptr;
    int taken_ = 0;
#endif
};

// Holds the pending exception aside while a traceback entry is made, and puts it back
// whatever happens meanwhile. The one place that knows how versions keep it.
class PendingError {
  public:
#if PY_VERSION_HEX >= 0x030C0000
    PendingError() noexcept : exception_(PyErr_GetRaisedException()) {}
    void restore() noexcept {
        PyErr_SetRaisedException(exception_);
    }

  private:
    PyObject* exception_;
#else
    PendingError() noexcept {
        PyErr_Fetch(&type_, &value_, &traceback_);
    }
    void restore() noexcept {
        PyErr_Restore(type_, value_, traceback_);
    }

  private:
    PyObject* type_;
    PyObject* value_;
    PyObject* traceback_;
#endif
};

// Adds a traceback entry (label, file "vsnRtrv", line, module namespace as globals) to
// the pending exception. The exception itself is kept whatever happens here.
void addTraceback(const char* label, int line) noexcept;

// An empty code object named `name`, file "vsnRtrv", first line `line`, whose
// instructions only raise: safe to run on every version, though nothing here runs it.
Ref newCode(const char* name, int line);

// Module namespace first, then the builtins recorded at load; else NameError.
Ref global(PyObject* name);

Ref getAttr(PyObject* obj, PyObject* name);
bool setAttr(PyObject* obj, PyObject* name, PyObject* value);

// An instance's own attribute. Access goes through the object, never its __dict__
// directly, so that a subclass's __getattr__ or __getattribute__ takes part; an ordinary
// instance goes straight to the generic lookup, which is what its type would call anyway.
inline PyObject* readAttr(PyObject* obj, PyObject* name) {
    return Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr ? PyObject_GenericGetAttr(obj, name)
                                                                : PyObject_GetAttr(obj, name);
}

// Calls with positional arguments, all borrowed.
template <class... Args>
Ref call(PyObject* callable, Args... args) {
    std::array<PyObject*, sizeof...(Args) + 1> argv{nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(
        callable, argv.data() + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Looks a module-level function up now, so that a rebinding is seen, and calls it.
template <class... Args>
Ref callGlobal(PyObject* name, Args... args) {
    Ref function = global(name);
    if (!function) {
        return {};
    }
    return call(function.borrow(), args...);
}

// obj.name(args...): the attribute is looked up like any other, bound methods included.
template <class... Args>
Ref callMethod(PyObject* obj, PyObject* name, Args... args) {
    std::array<PyObject*, sizeof...(Args) + 1> argv{obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, argv.data(), (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Items taken out of a container that other code can change: always owned. Without the
// GIL another thread may drop an item between a borrowed read and its incref, so from
// 3.13 the interpreter's own lookups that hand back a new reference are used; before
// that the GIL makes the borrowed read and the incref one step.

// list[index] of an exact list; empty with IndexError when out of range.
inline Ref listItem(PyObject* list, Py_ssize_t index) {
#if PY_VERSION_HEX >= 0x030D0000
    return Ref::steal(PyList_GetItemRef(list, index));
#else
    return Ref::newRef(PyList_GetItem(list, index));
#endif
}

// dict[key] of a dict: 1 with *value set, 0 when missing, -1 with an exception.
inline int dictItem(PyObject* dict, PyObject* key, Ref* value) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* found;
    const int status = PyDict_GetItemRef(dict, key, &found);
    *value = Ref::steal(found);
    return status;
#else
    *value = Ref::newRef(PyDict_GetItemWithError(dict, key));
    return *value ? 1 : PyErr_Occurred() ? -1 : 0;
#endif
}

// What `name` resolves to on `type` through its bases, as the attribute lookup finds it;
// empty, with no exception, when nothing has that name.
inline Ref typeLookup(PyTypeObject* type, PyObject* name) {
#if PY_VERSION_HEX >= 0x030D0000
    return Ref::steal(_PyType_LookupRef(type, name));
#else
    return Ref::newRef(_PyType_Lookup(type, name));
#endif
}

// Walks `items` as a for statement would: an exact list or tuple by index, its length
// read afresh before every step (the body, or another thread, may grow or shrink the
// list), anything else, subclasses included, through its own iterator. `each` gets every
// item, borrowed; false from it stops the walk with its exception pending.
template <class Each>
bool walk(Frame& f, PyObject* items, int iterLine, int bodyLine, Each each) {
    f.at(iterLine);
    const bool isList = PyList_CheckExact(items);
    if (isList || PyTuple_CheckExact(items)) {
        for (Py_ssize_t i = 0;; ++i) {
            f.at(iterLine);
            Py_ssize_t size = isList ? PyList_GET_SIZE(items) : PyTuple_GET_SIZE(items);
            if (i >= size) {
                return true;
            }
            Ref item = isList ? listItem(items, i) : Ref::newRef(PyTuple_GET_ITEM(items, i));
            if (!item) {
                // Another thread shrank the list after its length was read: the loop
                // ends there, as a for statement's would.
                PyErr_Clear();
                return true;
            }
            f.at(bodyLine);
            if (!each(item.borrow())) {
                return false;
            }
        }
    }
    Ref iterator = Ref::steal(PyObject_GetIter(items));
    if (!iterator) {
        return false;
    }
    for (;;) {
        f.at(iterLine);
        Ref item = Ref::steal(PyIter_Next(iterator.borrow()));
        if (!item) {
            return !PyErr_Occurred();
        }
        f.at(bodyLine);
        if (!each(item.borrow())) {
            return false;
        }
    }
}

// obj[slice], refusing objects that offer no subscripting with "unsliceable".
Ref getSlice(PyObject* obj, PyObject* slice);
// obj[index] for a C index.
Ref getIndex(PyObject* obj, Py_ssize_t index);
// `item in container`: 1, 0, or -1 with an exception.
int contains(PyObject* container, PyObject* item);
// `a == b` as the host's rich comparison: 1, 0, or -1 with an exception.
int equals(PyObject* a, PyObject* b);
// list.append that also serves list subclasses and other objects with an append method.
bool append(PyObject* target, PyObject* item);
// len(obj), -1 with an exception.
Py_ssize_t length(PyObject* obj);
// Whether len(obj) is defined at all, without calling it.
bool hasLength(PyObject* obj);

// Whether `text` is an exact str whose characters can be read in place, as the parsers
// read tool output; anything else (a str subclass, bytes, what a rebound runner returns)
// takes the path of ordinary method calls. False with *error set and an exception
// pending only when a str cannot be read at all.
bool readableInPlace(PyObject* text, bool* error);

// Calls f(chars, length) with the characters of a str readable in place, typed by its
// storage width, so one scanner template serves every width.
template <class F>
auto withChars(PyObject* text, F&& f) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return f(PyUnicode_1BYTE_DATA(text), n);
        case PyUnicode_2BYTE_KIND:
            return f(PyUnicode_2BYTE_DATA(text), n);
        default:
            return f(PyUnicode_4BYTE_DATA(text), n);
    }
}

Ref newList();
// A new list holding the given objects (borrowed), in order.
template <class... Items>
Ref listOf(Items... items) {
    PyObject* given[] = {items...};
    Ref list = Ref::steal(PyList_New(sizeof...(Items)));
    if (list) {
        for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(sizeof...(Items)); ++i) {
            Py_INCREF(given[i]);
            PyList_SET_ITEM(list.borrow(), i, given[i]);
        }
    }
    return list;
}

// Keyword-capable binding.
struct Param {
    const char* name;
    PyObject* (*defaultValue)();  // nullptr: the parameter is required; borrowed result
};

struct Signature {
    const char* name;  // the plain name used in the messages
    const Param* params;
    Py_ssize_t count;
    Py_ssize_t required;  // the first `required` parameters have no default
};

constexpr Py_ssize_t kMaxParams = 4;

// The arguments of one call bound to a signature's parameters. They are owned for the
// whole call: Python code that runs while binding (a keyword's __eq__) may empty the
// caller's mapping, and a value taken from it must outlive that.
class BoundArguments {
  public:
    BoundArguments() = default;
    BoundArguments(const BoundArguments&) = delete;
    BoundArguments& operator=(const BoundArguments&) = delete;

    // Binds `args` and `kwargs` (which may be NULL); false with TypeError set on a
    // binding fault.
    bool bind(const Signature& sig, PyObject* args, PyObject* kwargs);
    // The same from a vectorcall: `given` positional values, then one value per name of
    // `kwnames` (which may be NULL). The values belong to the caller for the whole call.
    bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t given, PyObject* kwnames);
    // One per parameter, in declaration order, valid while this object lives.
    PyObject* const* values() const noexcept { return borrowed_; }

  private:
    bool take(Py_ssize_t index, PyObject* value);

    Ref owned_[kMaxParams];
    PyObject* borrowed_[kMaxParams] = {};
};

PyObject* defaultFalse();

#ifdef _WIN32
// Sets a variable of the process environment for as long as it lives, unless the variable
// is already set, and puts the environment back when it ends, whether the work in between
// failed or not. A child started meanwhile inherits the process environment (os.environ
// is only the interpreter's copy of it, and stays untouched). Overlapping scopes share
// one `hold` (the GIL is released while a child starts, so another thread may enter): the
// first to enter decides and the last to leave restores. The hold's count changes under
// the GIL, or without one under the hold's own lock.
class EnvironmentDefault {
  public:
    EnvironmentDefault(EnvironmentHold& hold, const wchar_t* name) noexcept
        : hold_(hold), name_(name) {}
    EnvironmentDefault(const EnvironmentDefault&) = delete;
    EnvironmentDefault& operator=(const EnvironmentDefault&) = delete;
    ~EnvironmentDefault();

    // Sets the variable to `value` when no scope holds it and it is not set; false with
    // OSError set when the environment could not be read or changed.
    bool enter(const wchar_t* value);

  private:
    EnvironmentHold& hold_;
    const wchar_t* name_;
    bool entered_ = false;
};
#endif

}  // namespace vsn
