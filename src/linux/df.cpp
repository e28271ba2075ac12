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

// Appends path to the list filed under device, starting that list when needed.
bool file(PyObject* byDevice, PyObject* device, PyObject* path) {
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

Ref mountPathsByDevice(Frame& f, PyObject* lines, const MountLines& at) {
    f.at(at.eachLine);
    Ref byDevice = Ref::steal(PyDict_New());
    if (!byDevice) {
        return {};
    }
    Ref maxsplit = Ref::steal(PyLong_FromSsize_t(kColumnsBeforeMount));
    if (!maxsplit) {
        return {};
    }
    Ref iterator = Ref::steal(PyObject_GetIter(lines));
    if (!iterator) {
        return {};
    }
    Ref line;
    for (;;) {
        f.at(at.eachLine);
        Step step = next(iterator.borrow(), line);
        if (step == Step::error) {
            return {};
        }
        if (step == Step::end) {
            return byDevice;
        }

        f.at(at.splitLine);
        Ref split = columns(line.borrow(), maxsplit.borrow());
        if (!split) {
            return {};
        }
        Py_ssize_t count = length(split.borrow());
        if (count < 0) {
            return {};
        }
        // Blank lines, and the first half of a line that df wrapped after a long device
        // name, have no mount column. (The header does, filed under "Filesystem",
        // which no device path equals.)
        if (count <= kColumnsBeforeMount) {
            continue;
        }
        Ref device = getIndex(split.borrow(), 0);
        if (!device) {
            return {};
        }
        if (!PyUnicode_Check(device.borrow())) {
            continue;
        }
        Ref path = getIndex(split.borrow(), kColumnsBeforeMount);
        if (!path || !file(byDevice.borrow(), device.borrow(), path.borrow())) {
            return {};
        }
    }
}

}  // namespace vsn::lin
