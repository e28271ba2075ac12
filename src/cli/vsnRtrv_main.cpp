// The `vsnRtrv` command: runs the module as the main program.
//
// The module's own load prints the drives when its name is "__main__", so all this
// program does is start the interpreter it was built for and load the module under
// that name. Through the regular import system that is not possible (the name picks
// the init function), so the module definition is loaded directly from the code
// linked in here, the very code that `import vsnRtrv` runs.
#include "module/ref.hpp"

#include <cstdio>

extern "C" PyObject* PyInit_vsnRtrv(void);

namespace {

using vsn::Ref;

// The installed extension's path for __file__, when the import system can find one.
Ref installedOrigin() {
    Ref util = Ref::steal(PyImport_ImportModule("importlib.util"));
    Ref spec =
        util ? Ref::steal(PyObject_CallMethod(util.borrow(), "find_spec", "s", "vsnRtrv")) : Ref();
    Ref origin = (spec && spec.borrow() != Py_None)
                     ? Ref::steal(PyObject_GetAttrString(spec.borrow(), "origin"))
                     : Ref();
    if (!origin) {
        // Only a nicety for __file__: without it the command still runs.
        PyErr_Clear();
        return Ref::newRef(Py_None);
    }
    return origin;
}

// Loads the module as "__main__"; false with an exception pending when the load fails.
bool runAsMain() {
    PyObject* definition = PyInit_vsnRtrv();
    if (definition == nullptr) {
        return false;
    }
    Ref machinery = Ref::steal(PyImport_ImportModule("importlib.machinery"));
    if (!machinery) {
        return false;
    }
    Ref specType = Ref::steal(PyObject_GetAttrString(machinery.borrow(), "ModuleSpec"));
    Ref name = Ref::steal(PyUnicode_FromString("__main__"));
    Ref args = (specType && name) ? Ref::steal(PyTuple_Pack(2, name.borrow(), Py_None)) : Ref();
    Ref kwargs = args ? Ref::steal(PyDict_New()) : Ref();
    if (!kwargs) {
        return false;
    }
    Ref origin = installedOrigin();
    if (PyDict_SetItemString(kwargs.borrow(), "origin", origin.borrow()) < 0) {
        return false;
    }
    Ref spec = Ref::steal(PyObject_Call(specType.borrow(), args.borrow(), kwargs.borrow()));
    if (!spec) {
        return false;
    }
    auto* def = reinterpret_cast<PyModuleDef*>(definition);
    Ref module = Ref::steal(PyModule_FromDefAndSpec(def, spec.borrow()));
    return module && PyModule_ExecDef(module.borrow(), def) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    // The arguments are the command's own, not interpreter options.
    config.parse_argv = 0;
    PyStatus status = PyConfig_SetBytesArgv(&config, argc, argv);
    if (!PyStatus_Exception(status)) {
        status = Py_InitializeFromConfig(&config);
    }
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
        Py_ExitStatusException(status);
    }

    int exitStatus = 0;
    if (!runAsMain()) {
        // The interpreter's own report, with the module's traceback entries.
        PyErr_Print();
        exitStatus = 1;
    }
    if (Py_FinalizeEx() < 0) {
        // Output could not be flushed (a closed pipe): the lines may be lost.
        exitStatus = 120;
    }
    return exitStatus;
}
