// The function type of the record's methods: objects that behave like functions written
// in a class body (bound through an instance, plain through the class) but run C++.
#pragma once

#include "module/api.hpp"

namespace vsn::record {

// A one-argument body receives the single positional argument, the instance.
using OneArgBody = Ref (*)(Frame& f, PyObject* self);
// A keyword-capable body receives the bound arguments, `self` first.
using KeywordBody = Ref (*)(Frame& f, PyObject* const* args);

// What one method is. Rows live for the whole process; the objects point into them.
struct MethodDef {
    const char* name;
    const char* label;           // traceback label, "vsnRtrv.DriveInfo." and the name
    int line;                    // definition line
    const Signature* signature;  // keyword-capable methods only
    OneArgBody oneArg;           // one-argument methods only
    KeywordBody keywords;        // keyword-capable methods only
    // A getter, which only returns one attribute of the instance, has no body: the
    // attribute's name and the line that reads it.
    Ref Constants::*attribute;
    int attributeLine;
};

// Makes the type ready; false with an exception set.
bool readyMethodType();

// Whether obj is one of these method objects (not a subclass: the type has none).
bool isMethod(PyObject* obj);

// The row that one of them was made from.
const MethodDef& methodDef(PyObject* method);

// Calls one of them (`self`), as the interpreter's vectorcall of it does.
PyObject* methodVectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// A new method object for `def`, with the module namespace as its globals.
Ref newMethod(const MethodDef& def);

}  // namespace vsn::record
