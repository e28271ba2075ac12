#include "record/method.hpp"

#include <cstddef>
#include <new>

namespace vsn::record {
namespace {

// What every method object owns, kept apart from the object header so that the Refs can
// be constructed and destroyed in memory that the interpreter allocated.
struct Fields {
    const MethodDef* def;
    Ref name;
    Ref qualname;
    Ref module;
    Ref globals;  // the module namespace, which holds the class, which holds us: a cycle
    Ref code;
    Ref annotations;  // a dict that callers may fill, so it can close a cycle too
};

struct MethodObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    Fields fields;
    // Weak references are handled by the interpreter; this is its list head, not an
    // owned reference, so it does not belong in a Ref.
    PyObject* weakrefs;
    // A getter's last finding about one type at one version: whether the type has a
    // class attribute of the name read (see isPlain). The type is compared, never used:
    // one that has gone cannot come back at the same address with the same version, as
    // versions are not reused.
    PyTypeObject* seenType;
    unsigned int seenVersion;
    bool seenPlain;
};

MethodObject* asMethod(PyObject* self) {
    return reinterpret_cast<MethodObject*>(self);
}

PyObject* noneResult() {
    return Ref::newRef(Py_None).release();
}

PyObject* orNone(const Ref& value) {
    // A collected cycle leaves the cleared fields empty; the object must still answer.
    return Ref::newRef(value ? value.borrow() : Py_None).release();
}

// A method that takes only the instance checks its own arguments, as the interpreter's
// one-argument built-ins do, and such a refusal is not a failure of the method itself:
// no traceback entry.
bool checkOneArg(const MethodDef& def, Py_ssize_t given, PyObject* kwnames) {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", def.name);
        return false;
    }
    if (given != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", def.name,
                     given);
        return false;
    }
    return true;
}

// Whether reading `name` of an instance of `type` is a plain instance lookup: the
// generic one, with nothing of that name on the type. Then no code runs that could call
// a method again without a Python frame between (a descriptor written in C could), and
// the recursion guard is not needed. From 3.12 a type's version is 0 while it has none
// and is never reused, so a version seen once tells that the type is unchanged since.
// Without the GIL the finding would be shared between threads unguarded: not kept there.
bool isPlain(MethodObject* method, PyTypeObject* type, PyObject* name) {
#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        return false;
    }
    if (type == method->seenType && type->tp_version_tag == method->seenVersion) {
        return method->seenPlain;
    }
    // The lookup gives the type its version when it has none yet.
    const bool plain = _PyType_Lookup(type, name) == nullptr;
    if (type->tp_version_tag != 0) {
        method->seenType = type;
        method->seenVersion = type->tp_version_tag;
        method->seenPlain = plain;
    }
    return plain;
#else
    (void)method;
    (void)type;
    (void)name;
    return false;
#endif
}

// A getter's call: the same steps with its one statement inline, and the traceback entry
// made only on failure.
PyObject* getterVectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) {
    const MethodDef& def = *asMethod(self)->fields.def;
    if (!checkOneArg(def, PyVectorcall_NARGS(nargsf), kwnames)) {
        return nullptr;
    }
    PyObject* obj = args[0];
    PyObject* name = (k().*def.attribute).borrow();
    const bool guarded = !isPlain(asMethod(self), Py_TYPE(obj), name);
    RecursionGuard guard;
    if (guarded && !guard.enter(" while calling a Python object")) {
        return nullptr;
    }
    PyObject* result = readAttr(obj, name);
    if (result == nullptr) {
        Frame(def.label, def.attributeLine).fail();
    }
    if (guarded) {
        guard.leave();
    }
    return result;
}

}  // namespace

// Every call of a method with a body arrives here (a getter's object is called at
// getterVectorcall), the interpreter's obj.method(...) included: with the method type a
// method descriptor, it passes the instance first and makes no bound method and
// no argument tuple. The recursion guard is the one a function's own frame would give:
// a descriptor written in C may call a method again without any Python frame between.
PyObject* methodVectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) {
    const MethodDef& def = *asMethod(self)->fields.def;
    if (def.attribute != nullptr) {
        return getterVectorcall(self, args, nargsf, kwnames);
    }
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (def.signature == nullptr && !checkOneArg(def, given, kwnames)) {
        return nullptr;
    }
    RecursionGuard guard;
    if (!guard.enter(" while calling a Python object")) {
        return nullptr;
    }
    Frame f(def.label, def.line);
    PyObject* result;
    if (def.signature == nullptr) {
        result = f.finish(def.oneArg(f, args[0]));
    } else if (kwnames == nullptr && given == def.signature->count) {
        // Every parameter given by position: the caller's vector is the binding.
        result = f.finish(def.keywords(f, args));
    } else {
        BoundArguments bound;
        result = bound.bind(*def.signature, args, given, kwnames)
                     ? f.finish(def.keywords(f, bound.values()))
                     : f.fail();
    }
    guard.leave();
    return result;
}

namespace {

// Functions written in a class body bind to an instance and stay plain on the class;
// None as the instance counts as "no instance", as it does for them.
PyObject* methodDescrGet(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        return Ref::newRef(self).release();
    }
    return PyMethod_New(self, obj);
}

PyObject* methodRepr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", asMethod(self)->fields.qualname.borrow(),
                                self);
}

int methodTraverse(PyObject* self, visitproc visit, void* arg) {
    Fields& fields = asMethod(self)->fields;
    Py_VISIT(fields.globals.borrow());
    Py_VISIT(fields.annotations.borrow());
    Py_VISIT(fields.code.borrow());
    return 0;
}

// Only what can take part in a cycle is dropped: the name and the code stay, so that a
// method reached after a collection still calls and still reports its name.
int methodClear(PyObject* self) {
    Fields& fields = asMethod(self)->fields;
    fields.globals.reset();
    fields.annotations.reset();
    return 0;
}

void methodDealloc(PyObject* self) {
    MethodObject* method = asMethod(self);
    PyObject_GC_UnTrack(self);
    if (method->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    method->fields.~Fields();
    PyObject_GC_Del(self);
}

PyObject* getName(PyObject* self, void*) {
    return orNone(asMethod(self)->fields.name);
}
PyObject* getQualname(PyObject* self, void*) {
    return orNone(asMethod(self)->fields.qualname);
}
PyObject* getModule(PyObject* self, void*) {
    return orNone(asMethod(self)->fields.module);
}
PyObject* getGlobals(PyObject* self, void*) {
    return orNone(asMethod(self)->fields.globals);
}
PyObject* getCode(PyObject* self, void*) {
    return orNone(asMethod(self)->fields.code);
}
PyObject* getNone(PyObject*, void*) {
    return noneResult();
}

// Made again on first use after a collection cleared it; two threads asking at once
// must be handed the same dict.
PyObject* getAnnotations(PyObject* self, void*) {
    Fields& fields = asMethod(self)->fields;
    PyObject* result;
    Py_BEGIN_CRITICAL_SECTION(self);
    if (!fields.annotations) {
        fields.annotations = Ref::steal(PyDict_New());
    }
    result = fields.annotations.copy().release();
    Py_END_CRITICAL_SECTION();
    return result;
}

// Pickled by reference, like a function: the unpickler finds it again as
// vsnRtrv.DriveInfo.<name>, and copy treats it as atomic.
PyObject* methodReduce(PyObject* self, PyObject*) {
    return getQualname(self, nullptr);
}

PyGetSetDef g_getset[] = {
    {"__name__", getName, nullptr, nullptr, nullptr},
    {"__qualname__", getQualname, nullptr, nullptr, nullptr},
    {"__module__", getModule, nullptr, nullptr, nullptr},
    {"__doc__", getNone, nullptr, nullptr, nullptr},
    {"__globals__", getGlobals, nullptr, nullptr, nullptr},
    {"__code__", getCode, nullptr, nullptr, nullptr},
    // What inspect needs to take these for functions: signatures, help() and the like.
    {"__defaults__", getNone, nullptr, nullptr, nullptr},
    {"__kwdefaults__", getNone, nullptr, nullptr, nullptr},
    {"__annotations__", getAnnotations, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_methods[] = {
    {"__reduce__", methodReduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

struct Head {
    PyVarObject object;
};

PyTypeObject makeType() {
    // The header macro's shape differs between versions; through Head it is always a
    // complete initializer.
    Head head = {PyVarObject_HEAD_INIT(nullptr, 0)};
    PyTypeObject type{};
    type.ob_base = head.object;
    type.tp_name = "vsnRtrv.function";
    type.tp_basicsize = sizeof(MethodObject);
    type.tp_dealloc = methodDealloc;
    type.tp_repr = methodRepr;
    type.tp_call = PyVectorcall_Call;
    type.tp_vectorcall_offset = offsetof(MethodObject, vectorcall);
    // METHOD_DESCRIPTOR: obj.method(...) may skip making the bound method, since calling
    // the function with obj first is exactly what the bound method would do. From 3.12
    // the interpreter also specialises such attribute calls for the types that say so.
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
                    Py_TPFLAGS_HAVE_VECTORCALL;
    type.tp_traverse = methodTraverse;
    type.tp_clear = methodClear;
    type.tp_weaklistoffset = offsetof(MethodObject, weakrefs);
    type.tp_methods = g_methods;
    type.tp_getset = g_getset;
    type.tp_descr_get = methodDescrGet;
    return type;
}

// Filled before the interpreter exists, made ready by the load, never changed after.
PyTypeObject g_methodType = makeType();

// Parameter names as the code object lists them.
Ref varnames(const MethodDef& def) {
    static const Param kSelfOnly[] = {{"self", nullptr}};
    const Param* params = def.signature ? def.signature->params : kSelfOnly;
    Py_ssize_t count = def.signature ? def.signature->count : 1;
    Ref names = Ref::steal(PyTuple_New(count));
    if (!names) {
        return {};
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyUnicode_InternFromString(params[i].name);
        if (name == nullptr) {
            return {};
        }
        PyTuple_SET_ITEM(names.borrow(), i, name);  // steals `name`
    }
    return names;
}

bool setItem(PyObject* dict, const char* key, PyObject* value) {
    return value != nullptr && PyDict_SetItemString(dict, key, value) == 0;
}

// A code object that tells the tools reading one (inspect, tracebacks, debuggers) the
// method's parameters, file name and definition line. Its instructions only raise, and
// are never run by the method itself. The one place that knows how versions differ.
Ref makeCode(const MethodDef& def, PyObject* qualname) {
    Ref names = varnames(def);
    if (!names) {
        return {};
    }
    Ref empty = newCode(def.name, def.line);
    Ref replace;
    if (empty) {
        replace = Ref::steal(PyObject_GetAttrString(empty.borrow(), "replace"));
    }
    Ref changes = Ref::steal(PyDict_New());
    Ref count = Ref::steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(names.borrow())));
    if (!replace || !changes || !count ||
        !setItem(changes.borrow(), "co_argcount", count.borrow()) ||
        !setItem(changes.borrow(), "co_nlocals", count.borrow()) ||
        !setItem(changes.borrow(), "co_varnames", names.borrow())) {
        return {};
    }
#if PY_VERSION_HEX < 0x030B0000
    (void)qualname;
#else
    if (!setItem(changes.borrow(), "co_qualname", qualname)) {
        return {};
    }
#endif
    Ref noArgs = Ref::steal(PyTuple_New(0));
    if (!noArgs) {
        return {};
    }
    return Ref::steal(PyObject_Call(replace.borrow(), noArgs.borrow(), changes.borrow()));
}

}  // namespace

bool isMethod(PyObject* obj) {
    return Py_TYPE(obj) == &g_methodType;
}

const MethodDef& methodDef(PyObject* method) {
    return *asMethod(method)->fields.def;
}

bool readyMethodType() {
    return PyType_Ready(&g_methodType) == 0;
}

Ref newMethod(const MethodDef& def) {
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    Ref qualname = Ref::steal(PyUnicode_FromFormat("DriveInfo.%s", def.name));
    if (!name || !qualname) {
        return {};
    }
    Ref code = makeCode(def, qualname.borrow());
    Ref annotations = Ref::steal(PyDict_New());
    if (!code || !annotations) {
        return {};
    }
    MethodObject* method = PyObject_GC_New(MethodObject, &g_methodType);
    if (method == nullptr) {
        return {};
    }
    new (&method->fields) Fields{&def,
                                 std::move(name),
                                 std::move(qualname),
                                 k().vsnRtrv.copy(),
                                 Ref::newRef(namespaceOrNull()),
                                 std::move(code),
                                 std::move(annotations)};
    method->vectorcall = def.attribute != nullptr ? getterVectorcall : methodVectorcall;
    method->weakrefs = nullptr;
    method->seenType = nullptr;
    method->seenVersion = 0;
    method->seenPlain = false;
    PyObject_GC_Track(method);
    return Ref::steal(reinterpret_cast<PyObject*>(method));
}

}  // namespace vsn::record
