// The drive record class and the function type of its methods.
#pragma once

#include "module/ref.hpp"

namespace vsn::record {

// Makes the method function type ready (exec stage 3). False with an exception set.
bool readyTypes();

// Builds the class `DriveInfo` (exec stage 6). On failure returns an empty Ref and, when
// the failure happened while making a method, sets *failLine to that method's
// definition line (it is left alone otherwise).
Ref makeDriveInfoClass(int* failLine);

// Appends DriveInfo(entry[0], entry[1], entry[pathIndex]) to `records`: the conversion
// step that both platform chains end with. DriveInfo is looked up anew for every entry,
// before its items are read, so that a rebinding is seen. False with an exception set.
bool appendRecord(PyObject* records, PyObject* entry, Py_ssize_t pathIndex);

}  // namespace vsn::record
