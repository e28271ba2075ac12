// Filing df's mount points under their devices.
#include "linux/parse.hpp"

namespace vsn::lin {

namespace {

// Filesystem, Size, Used, Avail, Use%, then "Mounted on": cutting at most five times
// leaves the mount point whole, spaces and all, as the sixth column.
constexpr Py_ssize_t kColumnsBeforeMount = 5;

Ref columns(PyObject* line, PyObject* maxsplit) {
    if (PyUnicode_CheckExact(line)) {
        return Ref::steal(PyUnicode_Split(line, nullptr, kColumnsBeforeMount));
    }
    return callMethod(line, k().split.borrow(), Py_None, maxsplit);
}

// Appends path to the list filed under device in byDevice, starting that list if needed.
bool fileFurther(PyObject* byDevice, PyObject* device, PyObject* path) {
    PyObject* paths = PyDict_GetItemWithError(byDevice, device);
    if (paths != nullptr) {
        return PyList_Append(paths, path) == 0;
    }
    if (PyErr_Occurred()) {
        return false;
    }
    Ref fresh = Ref::steal(PyList_New(1));
    if (!fresh) {
        return false;
    }
    Py_INCREF(path);
    PyList_SET_ITEM(fresh.borrow(), 0, path);
    return PyDict_SetItem(byDevice, device, fresh.borrow()) == 0;
}

}  // namespace

bool MountTable::read(Frame& f, PyObject* output, const MountLines& at) {
    f.at(at.eachLine);
    first_ = Ref::steal(PyDict_New());
    more_ = Ref::steal(PyDict_New());
    Ref maxsplit = Ref::steal(PyLong_FromSsize_t(kColumnsBeforeMount));
    if (!first_ || !more_ || !maxsplit) {
        return false;
    }
    bool unreadable;
    if (readableInPlace(output, &unreadable)) {
        // Only the device and the mount point of each line become objects.
        f.at(at.splitLine);
        auto visit = [&](Span device, Span mount) {
            Ref key = piece(output, device);
            Ref path = piece(output, mount);
            return key && path && file(key.borrow(), path.borrow());
        };
        return withChars(
            output, [&](const auto* chars, Py_ssize_t n) { return scanMounts(chars, n, visit); });
    }
    if (unreadable) {
        return false;
    }
    return walkLines(f, output, at.lines, at.eachLine, [&](PyObject* line) {
        f.at(at.splitLine);
        Ref split = columns(line, maxsplit.borrow());
        if (!split) {
            return false;
        }
        Py_ssize_t count = length(split.borrow());
        if (count < 0) {
            return false;
        }
        // Blank lines, and the first half of a line that df wrapped after a long device
        // name, have no mount column. (The header does, filed under "Filesystem",
        // which no device path equals.)
        if (count <= kColumnsBeforeMount) {
            return true;
        }
        Ref device = getIndex(split.borrow(), 0);
        if (!device) {
            return false;
        }
        if (!PyUnicode_Check(device.borrow())) {
            return true;
        }
        Ref path = getIndex(split.borrow(), kColumnsBeforeMount);
        if (!path) {
            return false;
        }
        return file(device.borrow(), path.borrow());
    });
}

bool MountTable::file(PyObject* device, PyObject* path) {
    int known = PyDict_Contains(first_.borrow(), device);
    if (known < 0) {
        return false;
    }
    return known ? fileFurther(more_.borrow(), device, path)
                 : PyDict_SetItem(first_.borrow(), device, path) == 0;
}

bool MountTable::appendPaths(PyObject* device, PyObject* entry) const {
    if (!PyUnicode_Check(device)) {
        return true;
    }
    // Own what is appended: a caller's append method runs Python code of its own.
    Ref first = Ref::newRef(PyDict_GetItemWithError(first_.borrow(), device));
    if (!first) {
        return !PyErr_Occurred();
    }
    if (!append(entry, first.borrow())) {
        return false;
    }
    Ref further = Ref::newRef(PyDict_GetItemWithError(more_.borrow(), device));
    if (!further) {
        return !PyErr_Occurred();
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(further.borrow()); ++i) {
        Ref path = Ref::newRef(PyList_GET_ITEM(further.borrow(), i));
        if (!append(entry, path.borrow())) {
            return false;
        }
    }
    return true;
}

}  // namespace vsn::lin
