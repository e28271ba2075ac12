// Platform detection, the two dispatchers and the main entry.
#include "module/functions.hpp"

namespace vsn::fn {

Ref getPlatform(Frame& f) {
    f.at(73);
    Ref platform = global(k().platform.borrow());
    if (!platform) {
        return {};
    }
    int isLinux = contains(platform.borrow(), k().t_linux.borrow());
    if (isLinux < 0) {
        return {};
    }
    if (isLinux) {
        return k().t_lin.copy();
    }

    f.at(75);
    platform = global(k().platform.borrow());
    if (!platform) {
        return {};
    }
    int isWindows = equals(platform.borrow(), k().t_win32.borrow());
    if (isWindows < 0) {
        return {};
    }
    if (isWindows) {
        return k().t_win.copy();
    }
    return k().t_unsupported.copy();
}

Ref rtrvDriveInfo(Frame& f, PyObject* const* args) {
    PyObject* sys_type = args[0];

    f.at(95);
    int isLinux = equals(sys_type, k().t_lin.borrow());
    if (isLinux < 0) {
        return {};
    }
    if (isLinux) {
        f.at(96);
        Ref drive_info_list = callGlobal(k().rtrvDrivesInfoLinux.borrow());
        if (!drive_info_list) {
            return {};
        }
        f.at(97);
        return callGlobal(k()._convDrivesInfoListToClassLinux.borrow(), drive_info_list.borrow());
    }

    f.at(98);
    int isWindows = equals(sys_type, k().t_win.borrow());
    if (isWindows < 0) {
        return {};
    }
    if (isWindows) {
        f.at(99);
        Ref drive_info_list = callGlobal(k().rtrvDriveVSNPairsWindows.borrow());
        if (!drive_info_list) {
            return {};
        }
        f.at(100);
        return callGlobal(k()._convDrivesInfoListToClassWindows.borrow(), drive_info_list.borrow());
    }
    return k().t_unsupported.copy();
}

Ref rtrvDriveVSNPairs(Frame& f, PyObject* const* args) {
    PyObject* sys_type = args[0];

    f.at(227);
    int isLinux = equals(sys_type, k().t_lin.borrow());
    if (isLinux < 0) {
        return {};
    }
    if (isLinux) {
        f.at(228);
        return callGlobal(k().rtrvDriveVSNPairsLinux.borrow());
    }
    // Every other tag, the error text and None included, takes the Windows chain.
    f.at(230);
    return callGlobal(k().rtrvDriveVSNPairsWindows.borrow());
}

Ref _main(Frame& f) {
    f.at(258);
    Ref dispatch = global(k().rtrvDriveInfo.borrow());
    if (!dispatch) {
        return {};
    }
    Ref tag = callGlobal(k().getPlatform.borrow());
    if (!tag) {
        return {};
    }
    Ref infos = call(dispatch.borrow(), tag.borrow());
    if (!infos) {
        return {};
    }

    PyObject* print = records().print.borrow();
    if (PyUnicode_Check(infos.borrow())) {
        // An unsupported platform comes back as its message, not as records: say it once
        // rather than fail on its first character.
        int unsupported = equals(infos.borrow(), k().t_unsupported.borrow());
        if (unsupported < 0) {
            return {};
        }
        if (unsupported) {
            f.at(260);
            if (!call(print, infos.borrow())) {
                return {};
            }
            return Ref::newRef(Py_None);
        }
    }

    f.at(259);
    Ref iterator = Ref::steal(PyObject_GetIter(infos.borrow()));
    if (!iterator) {
        return {};
    }
    for (;;) {
        f.at(259);
        Ref info = Ref::steal(PyIter_Next(iterator.borrow()));
        if (!info) {
            if (PyErr_Occurred()) {
                return {};
            }
            break;
        }
        f.at(260);
        Ref line = callMethod(info.borrow(), k().printinfo.borrow());
        if (!line || !call(print, line.borrow())) {
            return {};
        }
    }
    return Ref::newRef(Py_None);
}

}  // namespace vsn::fn
