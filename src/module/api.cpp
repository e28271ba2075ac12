#include "module/api.hpp"

#include <frameobject.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace vsn {

PyObject* Frame::fail() noexcept {
    if (!PyErr_Occurred()) {
        // A body that fails must have said why; never let the interpreter see NULL bare.
        PyErr_Format(PyExc_SystemError, "%s failed without setting an exception", label_);
    }
    addTraceback(label_, line_);
    return nullptr;
}

Ref newCode(const char* name, int line) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("vsnRtrv", name, line)));
#if PY_VERSION_HEX < 0x030B0000
    // Before 3.11 the empty code object has no instructions at all, and a function made
    // from it (types.FunctionType) would run past their end. Give it what later versions
    // give it: LOAD_ASSERTION_ERROR; RAISE_VARARGS 1.
    if (code) {
        static const char kRaise[] = {74, 0, static_cast<char>(130), 1};
        PyObject* instructions = PyBytes_FromStringAndSize(kRaise, sizeof kRaise);
        if (instructions == nullptr) {
            return {};
        }
        auto* raw = reinterpret_cast<PyCodeObject*>(code.borrow());
        Py_SETREF(raw->co_code, instructions);
        raw->co_stacksize = 1;
    }
#endif
    return code;
}

void addTraceback(const char* label, int line) noexcept {
    PyObject* globals = namespaceOrNull();
    if (globals == nullptr) {
        return;
    }
    PendingError pending;
    // The frame reports the code object's first line, on every version: the entry's line.
    Ref code = newCode(label, line);
    Ref frame;
    if (code) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.borrow()),
                        globals, nullptr)));
    }
    if (!frame) {
        // Out of memory while reporting: the entry is lost, the caller's exception is not.
        PyErr_Clear();
        pending.restore();
        return;
    }
    pending.restore();
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.borrow()));
}

Ref global(PyObject* name) {
    PyObject* ns = namespaceOrNull();
    if (ns == nullptr) {
        PyErr_SetString(PyExc_ImportError, "module 'vsnRtrv' failed to load");
        return {};
    }
    Ref value;
    int found = dictItem(ns, name, &value);
    if (found == 0) {
        found = dictItem(PyModule_GetDict(records().builtins.borrow()), name, &value);
        if (found == 0) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        }
    }
    return value;
}

Ref getAttr(PyObject* obj, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

bool setAttr(PyObject* obj, PyObject* name, PyObject* value) {
    return PyObject_SetAttr(obj, name, value) == 0;
}

Ref getSlice(PyObject* obj, PyObject* slice) {
    PyMappingMethods* mapping = Py_TYPE(obj)->tp_as_mapping;
    if (mapping == nullptr || mapping->mp_subscript == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(obj)->tp_name);
        return {};
    }
    return Ref::steal(PyObject_GetItem(obj, slice));
}

Ref getIndex(PyObject* obj, Py_ssize_t index) {
    if (PyList_CheckExact(obj)) {
        // Another thread may change the length between this read and the item's.
        Py_ssize_t at = index < 0 ? index + PyList_GET_SIZE(obj) : index;
        return listItem(obj, at);
    }
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    if (!key) {
        return {};
    }
    return Ref::steal(PyObject_GetItem(obj, key.borrow()));
}

int contains(PyObject* container, PyObject* item) {
    return PySequence_Contains(container, item);
}

int equals(PyObject* a, PyObject* b) {
    return PyObject_RichCompareBool(a, b, Py_EQ);
}

bool append(PyObject* target, PyObject* item) {
    if (PyList_CheckExact(target)) {
        return PyList_Append(target, item) == 0;
    }
    return static_cast<bool>(callMethod(target, k().append.borrow(), item));
}

Py_ssize_t length(PyObject* obj) {
    return PyObject_Length(obj);
}

bool hasLength(PyObject* obj) {
    PySequenceMethods* sequence = Py_TYPE(obj)->tp_as_sequence;
    PyMappingMethods* mapping = Py_TYPE(obj)->tp_as_mapping;
    return (sequence != nullptr && sequence->sq_length != nullptr) ||
           (mapping != nullptr && mapping->mp_length != nullptr);
}

Ref newList() {
    return Ref::steal(PyList_New(0));
}

PyObject* defaultFalse() {
    return Py_False;
}

namespace {

bool countError(const Signature& sig, Py_ssize_t given) {
    const char* how;
    Py_ssize_t number;
    if (sig.required == sig.count) {
        how = "exactly";
        number = sig.count;
    } else if (given < sig.required) {
        how = "at least";
        number = sig.required;
    } else {
        how = "at most";
        number = sig.count;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, how, number, number == 1 ? "" : "s", given);
    return false;
}

// Index of the parameter whose name equals `key` in text, or -1.
Py_ssize_t paramIndex(const Signature& sig, PyObject* key) {
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) {
            return i;
        }
    }
    return -1;
}

// The TypeError for a keyword that no parameter took: one that is not a str, one naming
// a parameter that a positional value already filled (`given` of them), or any other.
bool keywordFault(const Signature& sig, PyObject* key, Py_ssize_t given) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
        return false;
    }
    const Py_ssize_t index = paramIndex(sig, key);
    if (index >= 0 && index < given) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     sig.name, key);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                     key);
    }
    return false;
}

}  // namespace

bool BoundArguments::take(Py_ssize_t index, PyObject* value) {
    owned_[index] = Ref::newRef(value);
    borrowed_[index] = value;
    return true;
}

bool BoundArguments::bind(const Signature& sig, PyObject* args, PyObject* kwargs) {
    if (sig.count > kMaxParams) {
        PyErr_Format(PyExc_SystemError, "%s() has more parameters than can be bound", sig.name);
        return false;
    }
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given > sig.count || (kwargs == nullptr && given < sig.required)) {
        return countError(sig, given);
    }
    for (Py_ssize_t i = 0; i < given; ++i) {
        take(i, PyTuple_GET_ITEM(args, i));
    }
    if (kwargs == nullptr) {
        for (Py_ssize_t i = given; i < sig.count; ++i) {
            take(i, sig.params[i].defaultValue());
        }
        return true;
    }

    // A private copy, from which each keyword a parameter takes is removed: what remains
    // is exactly what no parameter took, in the caller's order.
    Ref rest = Ref::steal(PyDict_Copy(kwargs));
    if (!rest) {
        return false;
    }
    for (Py_ssize_t i = given; i < sig.count; ++i) {
        Ref name = Ref::steal(PyUnicode_InternFromString(sig.params[i].name));
        if (!name) {
            return false;
        }
        PyObject* value = PyDict_GetItemWithError(rest.borrow(), name.borrow());
        if (value != nullptr) {
            take(i, value);
            if (PyDict_DelItem(rest.borrow(), name.borrow()) < 0) {
                return false;
            }
        } else if (PyErr_Occurred()) {
            return false;
        } else if (sig.params[i].defaultValue == nullptr) {
            // The parameters before this one are all that was supplied.
            return countError(sig, i);
        } else {
            take(i, sig.params[i].defaultValue());
        }
    }

    // Every keyword left over is at fault; the first in the caller's order decides.
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    if (!PyDict_Next(rest.borrow(), &pos, &key, &value)) {
        return true;
    }
    return keywordFault(sig, key, given);
}

bool BoundArguments::bind(const Signature& sig, PyObject* const* args, Py_ssize_t given,
                          PyObject* kwnames) {
    if (sig.count > kMaxParams) {
        PyErr_Format(PyExc_SystemError, "%s() has more parameters than can be bound", sig.name);
        return false;
    }
    const Py_ssize_t named = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (given > sig.count || (named == 0 && given < sig.required)) {
        return countError(sig, given);
    }
    for (Py_ssize_t i = 0; i < given; ++i) {
        take(i, args[i]);
    }
    for (Py_ssize_t i = given; i < sig.count; ++i) {
        Py_ssize_t at = 0;
        while (at < named && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, at),
                                                              sig.params[i].name) != 0) {
            ++at;
        }
        if (at < named) {
            take(i, args[given + at]);
        } else if (sig.params[i].defaultValue == nullptr) {
            return countError(sig, i);
        } else {
            take(i, sig.params[i].defaultValue());
        }
    }
    // A name that no parameter took is at fault; the first in the caller's order decides.
    for (Py_ssize_t at = 0; at < named; ++at) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, at);
        if (!PyUnicode_Check(key) || paramIndex(sig, key) < given) {
            return keywordFault(sig, key, given);
        }
    }
    return true;
}

bool readableInPlace(PyObject* text, bool* error) {
    *error = false;
    if (!PyUnicode_CheckExact(text)) {
        return false;
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) {
        *error = true;
        return false;
    }
#endif
    return true;
}

#ifdef _WIN32
namespace {

// The hold's lock where there is no GIL to serialise its changes; nothing elsewhere.
class HoldLock {
  public:
#ifdef Py_GIL_DISABLED
    explicit HoldLock(EnvironmentHold& hold) noexcept : lock_(hold.lock) {
        PyMutex_Lock(&lock_);
    }
    ~HoldLock() {
        PyMutex_Unlock(&lock_);
    }
#else
    explicit HoldLock(EnvironmentHold&) noexcept {}
#endif
    HoldLock(const HoldLock&) = delete;
    HoldLock& operator=(const HoldLock&) = delete;

#ifdef Py_GIL_DISABLED
  private:
    PyMutex& lock_;
#endif
};

}  // namespace

bool EnvironmentDefault::enter(const wchar_t* value) {
    HoldLock lock(hold_);
    if (hold_.holders == 0) {
        SetLastError(ERROR_SUCCESS);
        if (GetEnvironmentVariableW(name_, nullptr, 0) == 0) {
            if (GetLastError() != ERROR_ENVVAR_NOT_FOUND) {
                PyErr_SetFromWindowsErr(0);
                return false;
            }
            if (!SetEnvironmentVariableW(name_, value)) {
                PyErr_SetFromWindowsErr(0);
                return false;
            }
            hold_.ours = true;
        } else {
            // Set by the user or the parent: theirs to keep, as it is.
            hold_.ours = false;
        }
    }
    ++hold_.holders;
    entered_ = true;
    return true;
}

EnvironmentDefault::~EnvironmentDefault() {
    if (!entered_) {
        return;
    }
    HoldLock lock(hold_);
    if (--hold_.holders > 0 || !hold_.ours) {
        return;
    }
    hold_.ours = false;
    // Removing a variable that exists fails only when the process is out of memory; the
    // outcome of the call in between stands either way.
    SetEnvironmentVariableW(name_, nullptr);
}
#endif

}  // namespace vsn
