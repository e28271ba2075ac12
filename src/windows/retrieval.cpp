// The Windows chain: fsutil for the drives, vol for each drive's serial number, then
// pairs and DriveInfo records. Every step only runs a command through _runCmdList and
// hands the text to a parser; the chain's functions are looked up by name at each use,
// so a caller that rebinds one of them changes what the next call does.
#include "module/functions.hpp"
#include "record/driveinfo.hpp"

#include <cstring>
#include <utility>

namespace vsn::fn {

namespace {

// vol runs through the command interpreter with the drive as a bare word. These
// characters make that interpreter chain, pipe, redirect, escape, quote, expand or group
// even in the middle of a word, and a line break or NUL ends the command early: a drive
// such as "C: & del x" would run a second command.
constexpr char kShellActive[] = {'&', '|', '<', '>',  '^',  '"', '%',
                                 '!', '(', ')', '\r', '\n', '\0'};

// 1 when `drive` is a str or bytes, or a path-like object whose path is one, holding one of
// those characters; 0 when not (every other value goes into the command as it is); -1 with
// an exception.
int holdsShellActive(PyObject* drive) {
    if (!PyBytes_Check(drive) && !PyUnicode_Check(drive)) {
        // subprocess turns a path-like argument into its text too (os.fsdecode), so such
        // a drive reaches the command interpreter just the same: judge that text.
        if (!PyObject_HasAttr(reinterpret_cast<PyObject*>(Py_TYPE(drive)),
                              k().__fspath__.borrow())) {
            return 0;
        }
        Ref path = Ref::steal(PyOS_FSPath(drive));
        if (!path) {
            return -1;
        }
        return holdsShellActive(path.borrow());
    }
    if (PyBytes_Check(drive)) {
        const char* bytes = PyBytes_AS_STRING(drive);
        const Py_ssize_t size = PyBytes_GET_SIZE(drive);
        for (char c : kShellActive) {
            if (std::memchr(bytes, c, static_cast<size_t>(size)) != nullptr) {
                return 1;
            }
        }
        return 0;
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(drive) < 0) {
        return -1;
    }
#endif
    // One pass over the text, whatever its width.
    const int kind = PyUnicode_KIND(drive);
    const void* data = PyUnicode_DATA(drive);
    const Py_ssize_t size = PyUnicode_GET_LENGTH(drive);
    for (Py_ssize_t i = 0; i < size; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 128 && std::memchr(kShellActive, static_cast<int>(c), sizeof kShellActive)) {
            return 1;
        }
    }
    return 0;
}

}  // namespace

Ref rtrvDriveListWindows(Frame& f) {
    f.at(167);
    Ref cmd_list = listOf(k().t_fsutil.borrow(), k().t_fsinfo.borrow(), k().t_drives.borrow());
    if (!cmd_list) {
        return {};
    }

    // fsutil is a program of its own: no shell is needed, so none is asked for.
    f.at(168);
    Ref rtrn_str;
    {
#ifdef _WIN32
        // Started by its bare name, fsutil would otherwise be looked for in the current
        // folder before the system's: whoever can write there would run code as the user.
        EnvironmentDefault noCurrentFolder(noCurrentFolderSearchHold(),
                                           L"NoDefaultCurrentDirectoryInExePath");
        if (!noCurrentFolder.enter(L"1")) {
            return {};
        }
#endif
        rtrn_str = callGlobal(k()._runCmdList.borrow(), cmd_list.borrow());
    }
    if (!rtrn_str) {
        return {};
    }

    f.at(170);
    return callGlobal(k().rtrvDrivesFromStrWindows.borrow(), rtrn_str.borrow());
}

Ref rtrvDriveVSNWindows(Frame& f, PyObject* drive) {
    f.at(186);
    int refused = holdsShellActive(drive);
    if (refused < 0) {
        return {};
    }
    if (refused) {
        PyErr_Format(PyExc_ValueError,
                     "drive %R holds a character that the command interpreter acts on", drive);
        return {};
    }
    Ref cmd_list = listOf(k().t_vol.borrow(), drive);
    if (!cmd_list) {
        return {};
    }

    // vol is built into the command interpreter, not a program: only a shell can run it.
    f.at(187);
    Ref vsn_str = callGlobal(k()._runCmdList.borrow(), cmd_list.borrow(), Py_True);
    if (!vsn_str) {
        return {};
    }

    f.at(188);
    return callGlobal(k().rtrvVSNFromStrWindows.borrow(), vsn_str.borrow());
}

Ref rtrvDriveListVSNsWindows(Frame& f, PyObject* drive_list) {
    f.at(177);
    Ref rtrn_list = newList();
    if (!rtrn_list) {
        return {};
    }

    // One vol after another, in input order; the first drive that fails ends the call,
    // and the drives after it are never asked.
    bool done = walk(f, drive_list, 178, 179, [&](PyObject* drive) {
        Ref vsn = callGlobal(k().rtrvDriveVSNWindows.borrow(), drive);
        return vsn && append(rtrn_list.borrow(), vsn.borrow());
    });
    if (!done) {
        return {};
    }
    return rtrn_list;
}

Ref rtrvDriveVSNPairsWindows(Frame& f) {
    f.at(156);
    Ref drives = callGlobal(k().rtrvDriveListWindows.borrow());
    if (!drives) {
        return {};
    }

    // Every serial number is read before any pair is built: one unreadable drive fails
    // the whole call rather than giving a list that silently lacks it.
    f.at(157);
    Ref vsns = callGlobal(k().rtrvDriveListVSNsWindows.borrow(), drives.borrow());
    if (!vsns) {
        return {};
    }

    f.at(159);
    Ref drive_vsn_pairs = newList();
    if (!drive_vsn_pairs) {
        return {};
    }

    f.at(160);
    Py_ssize_t count = length(drives.borrow());
    if (count < 0) {
        return {};
    }

    // The drive list alone sets the length: the serial list answers it index for index.
    for (Py_ssize_t i = 0; i < count; ++i) {
        f.at(161);
        Ref drive = getIndex(drives.borrow(), i);
        if (!drive) {
            return {};
        }
        Ref vsn = getIndex(vsns.borrow(), i);
        if (!vsn) {
            return {};
        }
        Ref pair = listOf(drive.borrow(), vsn.borrow());
        if (!pair || !append(drive_vsn_pairs.borrow(), pair.borrow())) {
            return {};
        }
    }
    return drive_vsn_pairs;
}

Ref _convDrivesInfoListToClassWindows(Frame& f, PyObject* info_list) {
    f.at(218);
    Ref class_list = newList();
    if (!class_list) {
        return {};
    }

    // A Windows drive is reached through its own name, so element 0 is both the record's
    // drive and its path.
    bool done = walk(f, info_list, 219, 220, [&](PyObject* entry) {
        return record::appendRecord(class_list.borrow(), entry, 0);
    });
    if (!done) {
        return {};
    }
    return class_list;
}

}  // namespace vsn::fn
