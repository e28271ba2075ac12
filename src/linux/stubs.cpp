#include "module/functions.hpp"

namespace vsn::fn {
namespace {
Ref notYet() {
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return {};
}
}  // namespace
Ref rtrvDrivesInfoLinux(Frame&) {
    return notYet();
}
Ref rtrvDriveVSNPairsLinux(Frame&) {
    return notYet();
}
Ref addDrivesPathsLinux(Frame&, PyObject*) {
    return notYet();
}
Ref _convDrivesInfoListToClassLinux(Frame&, PyObject*) {
    return notYet();
}
}  // namespace vsn::fn
