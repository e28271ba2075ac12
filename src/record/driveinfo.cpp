#include "record/driveinfo.hpp"

#include "module/api.hpp"

namespace vsn::record {

bool readyTypes() {
    return true;
}

Ref makeDriveInfoClass(int* failLine) {
    (void)failLine;
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || PyDict_SetItem(ns.borrow(), k().__module__.borrow(), k().vsnRtrv.borrow()) < 0) {
        return {};
    }
    Ref name = Ref::steal(PyUnicode_FromString("DriveInfo"));
    if (!name) {
        return {};
    }
    return call(reinterpret_cast<PyObject*>(&PyType_Type), name.borrow(), k().emptyTuple.borrow(),
                ns.borrow());
}

}  // namespace vsn::record
