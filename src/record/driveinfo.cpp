// The drive record: an ordinary class whose state is the instance's attributes, so that
// subclasses, pickling, copying and weak references behave as for any class.
#include "record/driveinfo.hpp"

#include "module/api.hpp"
#include "record/method.hpp"

namespace vsn::record {
namespace {

Ref none() {
    return Ref::newRef(Py_None);
}

// Attribute access goes through the object, never its __dict__ directly, so that a
// subclass's __setattr__ or __getattr__ takes part.
Ref read(PyObject* self, const Ref& attribute) {
    return getAttr(self, attribute.borrow());
}

bool write(PyObject* self, const Ref& attribute, PyObject* value) {
    return setAttr(self, attribute.borrow(), value);
}

// The constructor takes drive, serial, path, but the attributes are laid out drive,
// path, serial; the order of the writes is what the instance's __dict__ shows.
Ref init(Frame& f, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* drive = args[1];
    PyObject* vsn = args[2];
    PyObject* path = args[3];
    f.at(17);
    if (!write(self, k()._drive, drive)) {
        return {};
    }
    f.at(18);
    if (!write(self, k()._path, path)) {
        return {};
    }
    f.at(19);
    if (!write(self, k()._vsn, vsn)) {
        return {};
    }
    return none();
}

// The drive object itself: str() of a record whose drive is not a str is the
// interpreter's TypeError, not ours to convert.
Ref str(Frame& f, PyObject* self) {
    f.at(24);
    return read(self, k()._drive);
}

// `format` is fetched before any attribute is read, and the attributes are read in the
// text's order, so the first one missing in that order is the one reported.
Ref printinfo(Frame& f, PyObject* self) {
    f.at(27);
    Ref format = getAttr(k().t_printinfo.borrow(), k().format.borrow());
    if (!format) {
        return {};
    }
    Ref drive = read(self, k()._drive);
    if (!drive) {
        return {};
    }
    Ref path = read(self, k()._path);
    if (!path) {
        return {};
    }
    Ref vsn = read(self, k()._vsn);
    if (!vsn) {
        return {};
    }
    return call(format.borrow(), drive.borrow(), path.borrow(), vsn.borrow());
}

Ref getDrive(Frame& f, PyObject* self) {
    f.at(33);
    return read(self, k()._drive);
}

Ref setDrive(Frame& f, PyObject* const* args) {
    f.at(36);
    return write(args[0], k()._drive, args[1]) ? none() : Ref();
}

Ref getPath(Frame& f, PyObject* self) {
    f.at(39);
    return read(self, k()._path);
}

Ref setPath(Frame& f, PyObject* const* args) {
    f.at(42);
    return write(args[0], k()._path, args[1]) ? none() : Ref();
}

Ref getVSN(Frame& f, PyObject* self) {
    f.at(45);
    return read(self, k()._vsn);
}

Ref setVSN(Frame& f, PyObject* const* args) {
    f.at(48);
    return write(args[0], k()._vsn, args[1]) ? none() : Ref();
}

// Kept for callers that refresh a record: a record holds what it was given and has
// nothing of its own to refresh.
Ref nothing(Frame&, PyObject*) {
    return none();
}

const Param kInitParams[] = {
    {"self", nullptr}, {"drive", nullptr}, {"vsn", nullptr}, {"path", nullptr}};
const Signature kInit{"__init__", kInitParams, 4, 4};
const Param kSetDriveParams[] = {{"self", nullptr}, {"drive", nullptr}};
const Signature kSetDrive{"setDrive", kSetDriveParams, 2, 2};
const Param kSetPathParams[] = {{"self", nullptr}, {"path", nullptr}};
const Signature kSetPath{"setPath", kSetPathParams, 2, 2};
const Param kSetVSNParams[] = {{"self", nullptr}, {"vsn", nullptr}};
const Signature kSetVSN{"setVSN", kSetVSNParams, 2, 2};

#define VSN_ONEARG(name, line, body) \
    { #name, "vsnRtrv.DriveInfo." #name, line, nullptr, body, nullptr }
#define VSN_KEYWORDS(name, line, signature, body) \
    { #name, "vsnRtrv.DriveInfo." #name, line, &signature, nullptr, body }

// In the order the class namespace lists them.
const MethodDef kMethods[] = {
    VSN_KEYWORDS(__init__, 16, kInit, init),
    VSN_ONEARG(__str__, 23, str),
    VSN_ONEARG(printinfo, 26, printinfo),
    VSN_ONEARG(getDrive, 32, getDrive),
    VSN_KEYWORDS(setDrive, 35, kSetDrive, setDrive),
    VSN_ONEARG(getPath, 38, getPath),
    VSN_KEYWORDS(setPath, 41, kSetPath, setPath),
    VSN_ONEARG(getVSN, 44, getVSN),
    VSN_KEYWORDS(setVSN, 47, kSetVSN, setVSN),
    VSN_ONEARG(updateInfo, 53, nothing),
    VSN_ONEARG(updatePath, 56, nothing),
    VSN_ONEARG(updateVSN, 59, nothing),
};

#undef VSN_ONEARG
#undef VSN_KEYWORDS

}  // namespace

bool readyTypes() {
    return readyMethodType();
}

Ref makeDriveInfoClass(int* failLine) {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || PyDict_SetItem(ns.borrow(), k().__module__.borrow(), k().vsnRtrv.borrow()) < 0 ||
        PyDict_SetItem(ns.borrow(), k().__qualname__.borrow(), k().DriveInfo.borrow()) < 0) {
        return {};
    }
    for (const MethodDef& def : kMethods) {
        Ref method = newMethod(def);
        if (!method || PyDict_SetItemString(ns.borrow(), def.name, method.borrow()) < 0) {
            *failLine = def.line;
            return {};
        }
    }
    // type() itself: with no bases there is no metaclass to look for.
    return call(reinterpret_cast<PyObject*>(&PyType_Type), k().DriveInfo.borrow(),
                k().emptyTuple.borrow(), ns.borrow());
}

bool appendRecord(PyObject* records, PyObject* entry, Py_ssize_t pathIndex) {
    Ref driveInfo = global(k().DriveInfo.borrow());
    if (!driveInfo) {
        return false;
    }
    Ref drive = getIndex(entry, 0);
    if (!drive) {
        return false;
    }
    Ref vsn = getIndex(entry, 1);
    if (!vsn) {
        return false;
    }
    Ref path = getIndex(entry, pathIndex);
    if (!path) {
        return false;
    }
    Ref record = call(driveInfo.borrow(), drive.borrow(), vsn.borrow(), path.borrow());
    return record && append(records, record.borrow());
}

}  // namespace vsn::record
