// The drive record: an ordinary class whose state is the instance's attributes, so that
// subclasses, pickling, copying and weak references behave as for any class.
#include "record/driveinfo.hpp"

#include "module/api.hpp"
#include "record/method.hpp"

#include <cstring>

namespace vsn::record {
namespace {

Ref none() {
    return Ref::newRef(Py_None);
}

Ref read(PyObject* self, const Ref& attribute) {
    return Ref::steal(readAttr(self, attribute.borrow()));
}

// As readAttr, for a subclass's __setattr__.
bool write(PyObject* self, const Ref& attribute, PyObject* value) {
    if (Py_TYPE(self)->tp_setattro == PyObject_GenericSetAttr) {
        return PyObject_GenericSetAttr(self, attribute.borrow(), value) == 0;
    }
    return setAttr(self, attribute.borrow(), value);
}

// The constructor takes drive, serial, path, but the attributes are laid out drive,
// path, serial; the order of the writes is what the instance's __dict__ shows. `store`
// is write, or what write comes to where the class is known to take plain stores.
template <class Store>
bool initialize(Frame& f, PyObject* const* args, Store store) {
    PyObject* self = args[0];
    PyObject* drive = args[1];
    PyObject* vsn = args[2];
    PyObject* path = args[3];
    f.at(17);
    if (!store(self, k()._drive, drive)) {
        return false;
    }
    f.at(18);
    if (!store(self, k()._path, path)) {
        return false;
    }
    f.at(19);
    return store(self, k()._vsn, vsn);
}

Ref init(Frame& f, PyObject* const* args) {
    return initialize(f, args, write) ? none() : Ref();
}

// What str.format does with one replacement field and no format spec: format(value, "").
Ref formatted(PyObject* value) {
    return Ref::steal(PyObject_Format(value, k().t_empty.borrow()));
}

// The texts joined into one new str.
template <size_t N>
Ref join(PyObject* const (&texts)[N]) {
    Py_ssize_t total = 0;
    Py_UCS4 widest = 0;
    for (PyObject* text : texts) {
#if PY_VERSION_HEX < 0x030C0000
        // A str subclass that __format__ returned may still be in the old representation.
        if (PyUnicode_READY(text) < 0) {
            return {};
        }
#endif
        const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
        if (size > PY_SSIZE_T_MAX - total) {
            PyErr_NoMemory();
            return {};
        }
        total += size;
        const Py_UCS4 maxChar = PyUnicode_MAX_CHAR_VALUE(text);
        widest = maxChar > widest ? maxChar : widest;
    }
    Ref joined = Ref::steal(PyUnicode_New(total, widest));
    if (!joined) {
        return {};
    }
    const int kind = PyUnicode_KIND(joined.borrow());
    auto* data = static_cast<char*>(PyUnicode_DATA(joined.borrow()));
    Py_ssize_t at = 0;
    for (PyObject* text : texts) {
        const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
        if (PyUnicode_KIND(text) == kind) {
            std::memcpy(data + at * kind, PyUnicode_DATA(text), static_cast<size_t>(size * kind));
        } else if (PyUnicode_CopyCharacters(joined.borrow(), at, text, 0, size) < 0) {
            return {};
        }
        at += size;
    }
    return joined;
}

// "Drive: {}, Path: {}, VSN: {}".format(...), made as str.format makes it: the
// attributes are read in the text's order, so the first one missing in that order is the
// one reported, then each is formatted with an empty spec, in order, and the pieces
// joined. Parsing the literal anew on every call would cost more than all the rest.
Ref printinfo(Frame& f, PyObject* self) {
    f.at(27);
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
    Ref driveText = formatted(drive.borrow());
    if (!driveText) {
        return {};
    }
    Ref pathText = formatted(path.borrow());
    if (!pathText) {
        return {};
    }
    Ref vsnText = formatted(vsn.borrow());
    if (!vsnText) {
        return {};
    }
    PyObject* const texts[] = {k().t_drive_label.borrow(), driveText.borrow(),
                               k().t_path_label.borrow(),  pathText.borrow(),
                               k().t_vsn_label.borrow(),   vsnText.borrow()};
    return join(texts);
}

Ref setDrive(Frame& f, PyObject* const* args) {
    f.at(36);
    return write(args[0], k()._drive, args[1]) ? none() : Ref();
}

Ref setPath(Frame& f, PyObject* const* args) {
    f.at(42);
    return write(args[0], k()._path, args[1]) ? none() : Ref();
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
    { #name, "vsnRtrv.DriveInfo." #name, line, nullptr, body, nullptr, nullptr, 0 }
#define VSN_KEYWORDS(name, line, signature, body) \
    { #name, "vsnRtrv.DriveInfo." #name, line, &signature, nullptr, body, nullptr, 0 }
#define VSN_GETTER(name, line, attr, at) \
    { #name, "vsnRtrv.DriveInfo." #name, line, nullptr, nullptr, nullptr, &Constants::attr, at }

// In the order the class namespace lists them. __str__ hands back the drive object itself:
// str() of a record whose drive is not a str is the interpreter's TypeError, not ours to
// convert.
const MethodDef kMethods[] = {
    VSN_KEYWORDS(__init__, 16, kInit, init),
    VSN_GETTER(__str__, 23, _drive, 24),
    VSN_ONEARG(printinfo, 26, printinfo),
    VSN_GETTER(getDrive, 32, _drive, 33),
    VSN_KEYWORDS(setDrive, 35, kSetDrive, setDrive),
    VSN_GETTER(getPath, 38, _path, 39),
    VSN_KEYWORDS(setPath, 41, kSetPath, setPath),
    VSN_GETTER(getVSN, 44, _vsn, 45),
    VSN_KEYWORDS(setVSN, 47, kSetVSN, setVSN),
    VSN_ONEARG(updateInfo, 53, nothing),
    VSN_ONEARG(updatePath, 56, nothing),
    VSN_ONEARG(updateVSN, 59, nothing),
};

#undef VSN_ONEARG
#undef VSN_KEYWORDS
#undef VSN_GETTER

// The most arguments the constructor's own path passes on; more take the general one.
constexpr Py_ssize_t kMaxConstructArgs = 8;

// What type.__call__ would do, for calls that the path below does not take.
PyObject* constructGenerally(PyObject* cls, PyObject* const* args, Py_ssize_t given,
                             PyObject* kwnames) {
    Ref positional = Ref::steal(PyTuple_New(given));
    if (!positional) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < given; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(positional.borrow(), i, args[i]);
    }
    Ref keywords;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        keywords = Ref::steal(PyDict_New());
        if (!keywords) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(keywords.borrow(), PyTuple_GET_ITEM(kwnames, i), args[given + i]) <
                0) {
                return nullptr;
            }
        }
    }
    return PyType_Type.tp_call(cls, positional.borrow(), keywords.borrow());
}

// Whether DriveInfo(drive, vsn, path) on `type` (its __new__ already found to be
// object's) runs our own __init__ with nothing but plain instance stores: the generic
// __setattr__, and nothing named like an attribute on the class that a store could run.
// Then no code runs that could construct again without a Python frame between, and the
// recursion guard of a method call is not needed. From 3.12 a type's version is 0 while
// it has none and never reused, so a version seen once tells that nothing the class or
// its bases hold has changed since. Without the GIL the finding would be shared between
// threads unguarded: not kept there. Versions are not reused, so a class that has gone
// cannot come back at the same address with the same version.
//
// The lookups themselves can run Python code: a key of a str subclass in a class's
// dictionary whose hash matches the name is compared by its own __eq__, and that can
// change the class between one lookup and the next (a property added where a store will
// go, a __setattr__). What was found across such a change holds for neither version, not
// even for this call, so the finding counts only when the version is the same before the
// first lookup and after the last. A class with no version yet cannot show a change: it
// takes the general path until a lookup has given it one.
bool constructsPlainly(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)
    if (type->tp_setattro != PyObject_GenericSetAttr) {
        return false;
    }
    PlainClass& seen = plainConstructionSeen();
    const unsigned int version = type->tp_version_tag;
    if (type == seen.type && version == seen.version) {
        return true;
    }
    PyObject* initializer = _PyType_Lookup(type, k().__init__.borrow());
    const bool plain = initializer != nullptr && isMethod(initializer) &&
                       methodDef(initializer).keywords == init &&
                       _PyType_Lookup(type, k()._drive.borrow()) == nullptr &&
                       _PyType_Lookup(type, k()._path.borrow()) == nullptr &&
                       _PyType_Lookup(type, k()._vsn.borrow()) == nullptr;
    if (version == 0 || type->tp_version_tag != version) {
        return false;
    }
    if (plain) {
        seen = {type, version};
    }
    return plain;
#else
    (void)type;
    return false;
#endif
}

// DriveInfo(...) as type.__call__ makes it: object.__new__, then __init__, found on the
// class at this call. While both are still the ones the class was made with, the
// instance is made and our __init__ called with the arguments in hand, with no
// argument tuple in between; anything else (a replaced __new__ or __init__, an abstract
// class, many arguments) takes the general path.
//
// Both paths make the instance with object.__new__ itself rather than the type's
// tp_alloc: on 3.11 and 3.12 it is object.__new__ that sets up the instance's attribute
// values under the keys its class's instances share, and an instance allocated without
// that gets a whole dictionary of its own at its first store, about four times the
// memory of an instance made the ordinary way.
PyObject* construct(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t named = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (type->tp_new != PyBaseObject_Type.tp_new ||
        PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT) || given + named > kMaxConstructArgs) {
        return constructGenerally(cls, args, given, kwnames);
    }
    if (kwnames == nullptr && given == 3 && constructsPlainly(type)) {
        Ref self = Ref::steal(PyBaseObject_Type.tp_new(type, k().emptyTuple.borrow(), nullptr));
        if (!self) {
            return nullptr;
        }
        PyObject* const argv[] = {self.borrow(), args[0], args[1], args[2]};
        Frame f(kMethods[0].label, kMethods[0].line);
        const bool made = initialize(f, argv, [](PyObject* obj, const Ref& name, PyObject* value) {
            return PyObject_GenericSetAttr(obj, name.borrow(), value) == 0;
        });
        return made ? self.release() : f.fail();
    }
    Ref initializer = typeLookup(type, k().__init__.borrow());
    if (!initializer || !isMethod(initializer.borrow())) {
        return constructGenerally(cls, args, given, kwnames);
    }
    Ref self = Ref::steal(PyBaseObject_Type.tp_new(type, k().emptyTuple.borrow(), nullptr));
    if (!self) {
        return nullptr;
    }
    PyObject* argv[1 + kMaxConstructArgs];
    argv[0] = self.borrow();
    for (Py_ssize_t i = 0; i < given + named; ++i) {
        argv[1 + i] = args[i];
    }
    Ref result = Ref::steal(methodVectorcall(initializer.borrow(), argv, 1 + given, kwnames));
    if (!result) {
        return nullptr;
    }
    if (result.borrow() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                     Py_TYPE(result.borrow())->tp_name);
        return nullptr;
    }
    return self.release();
}

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
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), k().DriveInfo.borrow(),
                   k().emptyTuple.borrow(), ns.borrow());
    if (cls) {
        // Calling a class goes through the class's vectorcall slot when it has one. A
        // subclass that got the slot too is still judged by its own __new__ and __init__.
        reinterpret_cast<PyTypeObject*>(cls.borrow())->tp_vectorcall = construct;
    }
    return cls;
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
