#include "module/functions.hpp"

namespace vsn::fn {
namespace {
Ref notYet() {
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return {};
}
}  // namespace
Ref rtrvDriveVSNPairsWindows(Frame&) {
    return notYet();
}
Ref rtrvDriveListWindows(Frame&) {
    return notYet();
}
Ref rtrvDriveListVSNsWindows(Frame&, PyObject*) {
    return notYet();
}
Ref rtrvDriveVSNWindows(Frame&, PyObject*) {
    return notYet();
}
Ref rtrvDrivesFromStrWindows(Frame&, PyObject*) {
    return notYet();
}
Ref rtrvVSNFromStrWindows(Frame&, PyObject*) {
    return notYet();
}
Ref _convDrivesInfoListToClassWindows(Frame&, PyObject*) {
    return notYet();
}
}  // namespace vsn::fn
