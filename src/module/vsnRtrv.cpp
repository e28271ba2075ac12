// The module as the interpreter sees it: definition, create and exec steps, and the
// table of module-level functions.
#include "module/api.hpp"
#include "module/functions.hpp"
#include "module/state.hpp"
#include "record/driveinfo.hpp"

#include <cstdio>

namespace vsn {
namespace {

PyObject* defaultWin() {
    return k().t_win.borrow();
}

const Param kRunCmdListParams[] = {{"cmd_list", nullptr}, {"isShellCmd", defaultFalse}};
const Signature kRunCmdList{"_runCmdList", kRunCmdListParams, 2, 1};
const Param kSysTypeParams[] = {{"sys_type", defaultWin}};
const Signature kRtrvDriveInfo{"rtrvDriveInfo", kSysTypeParams, 1, 0};
const Signature kRtrvDriveVSNPairs{"rtrvDriveVSNPairs", kSysTypeParams, 1, 0};

template <class F>
PyCFunction asCFunction(F* function) {
    // The host stores every calling form under one pointer type; the flags say which.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

struct FunctionRow {
    PyMethodDef def;
    int line;  // definition line: binding failures, and failures to bind it at load
};

// One row per module-level function, in the order the exec step binds them. The
// wrapper that a row makes checks nothing the interpreter checks for it, and gives
// every exception that leaves the body exactly one traceback entry.
#define VSN_NOARGS(fname, line)                   \
    {                                             \
        {#fname,                                  \
         +[](PyObject*, PyObject*) -> PyObject* { \
             Frame f("vsnRtrv." #fname, line);    \
             return f.finish(fn::fname(f));       \
         },                                       \
         METH_NOARGS, nullptr},                   \
            line                                  \
    }
#define VSN_ONEARG(fname, line)                       \
    {                                                 \
        {#fname,                                      \
         +[](PyObject*, PyObject* arg) -> PyObject* { \
             Frame f("vsnRtrv." #fname, line);        \
             return f.finish(fn::fname(f, arg));      \
         },                                           \
         METH_O, nullptr},                            \
            line                                      \
    }
#define VSN_KEYWORDS(fname, line, signature)                                                 \
    {                                                                                        \
        {#fname, asCFunction(+[](PyObject*, PyObject* args, PyObject* kwargs) -> PyObject* { \
             Frame f("vsnRtrv." #fname, line);                                               \
             BoundArguments bound;                                                           \
             if (!bound.bind(signature, args, kwargs)) {                                     \
                 return f.fail();                                                            \
             }                                                                               \
             return f.finish(fn::fname(f, bound.values()));                                  \
         }),                                                                                 \
         METH_VARARGS | METH_KEYWORDS, nullptr},                                             \
            line                                                                             \
    }

FunctionRow g_functions[] = {
    VSN_NOARGS(getPlatform, 72),
    VSN_ONEARG(_cleanStdout, 83),
    VSN_KEYWORDS(_runCmdList, 87, kRunCmdList),
    VSN_KEYWORDS(rtrvDriveInfo, 94, kRtrvDriveInfo),
    VSN_NOARGS(rtrvDrivesInfoLinux, 108),
    VSN_ONEARG(addDrivesPathsLinux, 135),
    VSN_NOARGS(rtrvDriveVSNPairsWindows, 154),
    VSN_NOARGS(rtrvDriveListWindows, 165),
    VSN_ONEARG(rtrvDriveListVSNsWindows, 175),
    VSN_ONEARG(rtrvDriveVSNWindows, 184),
    VSN_ONEARG(rtrvDrivesFromStrWindows, 191),
    VSN_ONEARG(rtrvVSNFromStrWindows, 202),
    VSN_ONEARG(_convDrivesInfoListToClassLinux, 210),
    VSN_ONEARG(_convDrivesInfoListToClassWindows, 217),
    VSN_KEYWORDS(rtrvDriveVSNPairs, 226, kRtrvDriveVSNPairs),
    VSN_NOARGS(rtrvDriveVSNPairsLinux, 233),
    VSN_NOARGS(_main, 257),
};

#undef VSN_NOARGS
#undef VSN_ONEARG
#undef VSN_KEYWORDS

// ---------------------------------------------------------------------------------
// Create step

// Copies spec.<attr> to the module's <key>; a spec without the attribute is fine.
bool copySpecAttr(PyObject* spec, PyObject* moduleDict, const char* attr, const char* key,
                  bool skipNone) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return true;
        }
        return false;
    }
    if (skipNone && value.borrow() == Py_None) {
        return true;
    }
    return PyDict_SetItemString(moduleDict, key, value.borrow()) == 0;
}

PyObject* createModule(PyObject* spec, PyModuleDef*) {
    Records& r = loadRecords();
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (r.interpreter == -1) {
        r.interpreter = id;
    } else if (r.interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into "
                        "one interpreter per process.");
        return nullptr;
    }
    if (r.module) {
        // Re-import after the sys.modules entry went away: the one module stays the one.
        // The host forgets the state block of a module that a create step hands back and
        // the exec step allocates another, so the block the last exec step left is freed
        // here. Nothing reads it in between: the import holds the module's lock, and the
        // host overwrites the pointer before it runs any other code.
        PyMem_Free(PyModule_GetState(r.module.borrow()));
        return r.module.copy().release();
    }

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.borrow()));
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.borrow());
    if (!copySpecAttr(spec, dict, "loader", "__loader__", false) ||
        !copySpecAttr(spec, dict, "origin", "__file__", false) ||
        !copySpecAttr(spec, dict, "parent", "__package__", false) ||
        !copySpecAttr(spec, dict, "submodule_search_locations", "__path__", true)) {
        return nullptr;
    }
    return module.release();
}

// ---------------------------------------------------------------------------------
// Exec step

// Warns when the interpreter's major or first minor digit differs from the build's.
bool checkVersion() {
    char compiled[16];
    std::snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    char running[4] = {0, 0, 0, 0};
    const char* version = Py_GetVersion();
    for (int i = 0; i < 3 && version[i] != '\0'; ++i) {
        running[i] = version[i];
    }
    if (compiled[0] == running[0] && compiled[2] == running[2]) {
        return true;
    }
    char message[200];
    std::snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  compiled, "vsnRtrv", running);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

// Sets `slot` to what `make` gives unless an earlier load made it already: a value once
// made is never replaced, since the functions of a failed load may still read it.
template <class Make>
bool once(Ref& slot, Make make) {
    if (!slot) {
        slot = make();
    }
    return static_cast<bool>(slot);
}

bool makeConstants(Constants& c) {
#define VSN_MAKE_IDENTIFIER(n)                                                             \
    if (!once(c.n, [] { return Ref::steal(PyUnicode_InternFromString(#n)); })) { \
        return false;                                                                      \
    }
#define VSN_MAKE_TEXT(n, text)                                                               \
    if (!once(c.n, [] { return Ref::steal(PyUnicode_InternFromString(text)); })) { \
        return false;                                                                        \
    }
    VSN_IDENTIFIERS(VSN_MAKE_IDENTIFIER)
    VSN_TEXTS(VSN_MAKE_TEXT)
#undef VSN_MAKE_IDENTIFIER
#undef VSN_MAKE_TEXT
    return once(c.emptyTuple, [] { return Ref::steal(PyTuple_New(0)); }) &&
           once(c.kw_stdout_shell, [&] {
               return Ref::steal(PyTuple_Pack(2, c.t_stdout.borrow(), c.shell.borrow()));
           });
}

Ref makeSlice(PyObject* start, PyObject* stop) {
    return Ref::steal(PySlice_New(start, stop, nullptr));
}

bool makeSlices(Constants& c) {
    Ref six = Ref::steal(PyLong_FromLong(6));
    Ref eight = Ref::steal(PyLong_FromLong(8));
    Ref twelve = Ref::steal(PyLong_FromLong(12));
    Ref minusOne = Ref::steal(PyLong_FromLong(-1));
    if (!six || !eight || !twelve || !minusOne) {
        return false;
    }
    return once(c.slice_6_m1, [&] { return makeSlice(six.borrow(), minusOne.borrow()); }) &&
           once(c.slice_8_12, [&] { return makeSlice(eight.borrow(), twelve.borrow()); }) &&
           once(c.slice_12_, [&] { return makeSlice(twelve.borrow(), Py_None); }) &&
           once(c.slice_m1, [&] { return makeSlice(Py_None, minusOne.borrow()); });
}

// A builtin that the module takes once; missing, it is a NameError like any lookup.
Ref takeBuiltin(PyObject* builtins, PyObject* name) {
    Ref value;
    if (dictItem(PyModule_GetDict(builtins), name, &value) == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

bool bind(PyObject* name, PyObject* value) {
    return PyDict_SetItem(namespaceOrNull(), name, value) == 0;
}

// `from <module> import <names...>` into the namespace, as the module's own import does.
bool importFrom(PyObject* moduleName, std::initializer_list<PyObject*> names) {
    Ref fromList = Ref::steal(PyList_New(0));
    Ref locals = Ref::steal(PyDict_New());
    if (!fromList || !locals) {
        return false;
    }
    for (PyObject* name : names) {
        if (PyList_Append(fromList.borrow(), name) < 0) {
            return false;
        }
    }
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(
        moduleName, namespaceOrNull(), locals.borrow(), fromList.borrow(), 0));
    if (!module) {
        return false;
    }
    for (PyObject* name : names) {
        Ref value = Ref::steal(PyObject_GetAttr(module.borrow(), name));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
            }
            return false;
        }
        if (!bind(name, value.borrow())) {
            return false;
        }
    }
    return true;
}

// Stages 3 to 9, once the module is recorded. *line tracks the stage for the entry.
bool runStages(PyObject* module, int* line) {
    Records& r = loadRecords();
    Constants& c = r.k;

    // [1] Namespace, constants, sys.modules entry, range and print, slices.
    *line = 1;
    if (!once(r.builtins, [] { return Ref::steal(PyImport_ImportModule("builtins")); }) ||
        !makeConstants(c) ||
        !setAttr(module, c.__builtins__.borrow(), r.builtins.borrow())) {
        return false;
    }
    PyObject* modules = PyImport_GetModuleDict();
    int present = PySequence_Contains(modules, c.vsnRtrv.borrow());
    if (present < 0 ||
        (present == 0 && PyObject_SetItem(modules, c.vsnRtrv.borrow(), module) < 0)) {
        return false;
    }
    if (!once(r.range, [&] { return takeBuiltin(r.builtins.borrow(), c.range.borrow()); }) ||
        !once(r.print, [&] { return takeBuiltin(r.builtins.borrow(), c.print.borrow()); }) ||
        !makeSlices(c)) {
        return false;
    }

    // [4], [5] The process starter and the platform text, as the module's imports.
    *line = 4;
    if (!importFrom(c.subprocess.borrow(), {c.run.borrow(), c.PIPE.borrow()})) {
        return false;
    }
    *line = 5;
    if (!importFrom(c.sys.borrow(), {c.platform.borrow()})) {
        return false;
    }

    // [13] The record class; a method that cannot be made reports its own line.
    *line = 13;
    Ref driveInfo = record::makeDriveInfoClass(line);
    if (!driveInfo || !bind(c.DriveInfo.borrow(), driveInfo.borrow())) {
        return false;
    }

    // The functions, one at a time in table order.
    for (FunctionRow& row : g_functions) {
        *line = row.line;
        Ref function = Ref::steal(PyCFunction_NewEx(&row.def, nullptr, c.vsnRtrv.borrow()));
        Ref name = Ref::steal(PyUnicode_InternFromString(row.def.ml_name));
        if (!function || !name || !bind(name.borrow(), function.borrow())) {
            return false;
        }
    }

    // [262], [263] Run as the main program, the load itself runs _main.
    *line = 262;
    Ref moduleName = global(c.__name__.borrow());
    if (!moduleName) {
        return false;
    }
    int isMain = equals(moduleName.borrow(), c.t_main.borrow());
    if (isMain < 0) {
        return false;
    }
    if (isMain) {
        *line = 263;
        Ref mainFunction = global(c._main.borrow());
        if (!mainFunction || !call(mainFunction.borrow())) {
            return false;
        }
    }

    // [1] Last, so that a namespace holding __test__ is a namespace fully loaded.
    *line = 1;
    Ref test = Ref::steal(PyDict_New());
    return test && bind(c.__test__.borrow(), test.borrow());
}

int failBeforeRecord() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init vsnRtrv");
    }
    return -1;
}

int execModule(PyObject* module) {
    Records& r = loadRecords();
    if (r.module) {
        if (r.module.borrow() == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'vsnRtrv' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (!checkVersion() || !record::readyTypes()) {
        return failBeforeRecord();
    }

    if (!once(r.failedModules, [] { return Ref::steal(PyList_New(0)); })) {
        return failBeforeRecord();
    }
    r.module = Ref::newRef(module);
    r.ns.store(PyModule_GetDict(module), std::memory_order_release);
    int line = 1;
    if (runStages(module, &line)) {
        return 0;
    }
    addTraceback("init vsnRtrv", line);
    // A later import starts over; what this attempt bound stays in its namespace. The
    // constants stay too, so that a function object that escaped the failed module
    // raises instead of reading freed memory, and so does the module: another thread
    // may have read its namespace just before this.
    r.ns.store(nullptr, std::memory_order_release);
    PendingError pending;
    if (PyList_Append(r.failedModules.borrow(), module) < 0) {
        // Out of memory: this failure is reported rather than that one.
        PyErr_Clear();
    }
    pending.restore();
    r.module.reset();
    return -1;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(createModule)},
    {Py_mod_exec, reinterpret_cast<void*>(execModule)},
#if PY_VERSION_HEX >= 0x030D0000
    // Nothing here needs the GIL: a free-threaded interpreter keeps it off on import.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "vsnRtrv",  // m_name
    nullptr,    // m_doc
    0,          // m_size
    nullptr,    // m_methods: the exec step binds every function itself
    g_slots,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

}  // namespace
}  // namespace vsn

PyMODINIT_FUNC PyInit_vsnRtrv(void) {
    return PyModuleDef_Init(&vsn::g_definition);
}
