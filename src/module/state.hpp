// The process-wide records that the load keeps.
//
// One module per process, in one interpreter: everything here is written by the create
// and exec steps (which the import lock serialises) and only read afterwards, from any
// thread. A value is written once and never replaced, so that a reader without the GIL
// never meets one being freed; the namespace pointer alone changes again, when a load
// fails, and is read and written atomically. Nothing is released at interpreter
// shutdown, since the module is never unloaded.
#pragma once

#include "module/ref.hpp"

#include <atomic>
#include <cstdint>

namespace vsn {

// clang-format off
// Interned names, spelt as the identifier itself.
#define VSN_IDENTIFIERS(X) \
    X(run) \
    X(PIPE) \
    X(platform) \
    X(DriveInfo) \
    X(subprocess) \
    X(sys) \
    X(__builtins__) \
    X(__name__) \
    X(__test__) \
    X(__module__) \
    X(__init__) \
    X(__fspath__) \
    X(__qualname__) \
    X(_main) \
    X(shell) \
    X(decode) \
    X(rstrip) \
    X(lstrip) \
    X(printinfo) \
    X(split) \
    X(copy) \
    X(append) \
    X(startswith) \
    X(_drive) \
    X(_path) \
    X(_vsn) \
    X(range) \
    X(print) \
    X(vsnRtrv) \
    X(getPlatform) \
    X(_cleanStdout) \
    X(_runCmdList) \
    X(rtrvDriveInfo) \
    X(rtrvDrivesInfoLinux) \
    X(addDrivesPathsLinux) \
    X(rtrvDriveVSNPairsWindows) \
    X(rtrvDriveListWindows) \
    X(rtrvDriveListVSNsWindows) \
    X(rtrvDriveVSNWindows) \
    X(rtrvDrivesFromStrWindows) \
    X(rtrvVSNFromStrWindows) \
    X(_convDrivesInfoListToClassLinux) \
    X(_convDrivesInfoListToClassWindows) \
    X(rtrvDriveVSNPairs) \
    X(rtrvDriveVSNPairsLinux)

// Literal texts that are not identifiers, and names that a C library defines as macros
// (the Windows one expands `stdout`): (member, text).
#define VSN_TEXTS(X) \
    X(t_stdout, "stdout") \
    X(t_main, "__main__") \
    X(t_fsutil, "fsutil") \
    X(t_fsinfo, "fsinfo") \
    X(t_drives, "drives") \
    X(t_vol, "vol") \
    X(t_blkid, "blkid") \
    X(t_df, "df") \
    X(t_dash_h, "-h") \
    X(t_newline, "\n") \
    X(t_uuid, "UUID=") \
    X(t_sda, "sda") \
    X(t_hyphen, "-") \
    X(t_lin, "lin") \
    X(t_win, "win") \
    X(t_linux, "linux") \
    X(t_win32, "win32") \
    X(t_unsupported, "Error: Unsupported platform.") \
    X(t_empty, "") \
    X(t_drive_label, "Drive: ") \
    X(t_path_label, ", Path: ") \
    X(t_vsn_label, ", VSN: ") \
    X(t_utf8, "utf-8") \
    X(t_surrogateescape, "surrogateescape")
// clang-format on

struct Constants {
#define VSN_DECLARE_IDENTIFIER(n) Ref n;
#define VSN_DECLARE_TEXT(n, text) Ref n;
    VSN_IDENTIFIERS(VSN_DECLARE_IDENTIFIER)
    VSN_TEXTS(VSN_DECLARE_TEXT)
#undef VSN_DECLARE_IDENTIFIER
#undef VSN_DECLARE_TEXT
    Ref emptyTuple;
    Ref kw_stdout_shell;  // ("stdout", "shell"), the keyword names of the call of run
    Ref slice_6_m1;       // [6:-1]
    Ref slice_8_12;       // [8:12]
    Ref slice_12_;        // [12:]
    Ref slice_m1;         // [:-1]
};

#ifdef _WIN32
// The calls that currently need one variable of the process environment set, and whether
// the module set it (rather than finding it set).
struct EnvironmentHold {
    int holders = 0;
    bool ours = false;
#ifdef Py_GIL_DISABLED
    PyMutex lock = {};  // what the GIL is to the two above elsewhere
#endif
};
#endif

// A class that the constructor found to take plain stores, at the version it had then
// (record/driveinfo.cpp). The type is compared, never used.
struct PlainClass {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
};

struct Records {
    std::int64_t interpreter = -1;  // the interpreter that first ran the create step
    Ref module;                     // the one module object, once the exec step records it
    // Its namespace, borrowed from `module`, while it is loaded or loading; null when no
    // load has run or the last one failed.
    std::atomic<PyObject*> ns{nullptr};
    // The modules whose load failed, kept alive: a thread that read `ns` just before the
    // failure may still be looking names up in its namespace.
    Ref failedModules;
    Ref builtins;                   // the builtins module
    Ref range;                      // taken once at load, never looked up again
    Ref print;
    Constants k;
#ifdef _WIN32
    // NoDefaultCurrentDirectoryInExePath while fsutil starts. The environment belongs to
    // the process, not to an interpreter or a module object, so its count is kept with
    // the other process-wide records; unlike them it changes after the load, but only
    // with the GIL of the one interpreter held, which serialises every change.
    EnvironmentHold noCurrentFolderSearch;
#endif
    // The last class that DriveInfo(...) found plain. It describes classes, which are
    // process-wide, and changes after the load only with the GIL held; a build without
    // the GIL never keeps it.
    PlainClass plainConstruction;
};

namespace detail {
// Made when the library is loaded and never destroyed: a destructor would run after the
// interpreter has finalized and drop references into freed memory.
extern Records* const g_records;
}  // namespace detail

// Read access for the functions of the module; inline, since every record call reads it.
inline const Records& records() {
    return *detail::g_records;
}
inline const Constants& k() {
    return records().k;
}
inline PyObject* namespaceOrNull() {
    return records().ns.load(std::memory_order_acquire);
}

// Write access, for the create and exec steps only.
Records& loadRecords();

// The records that change after the load; with the GIL held only.
inline PlainClass& plainConstructionSeen() {
    return detail::g_records->plainConstruction;
}
#ifdef _WIN32
inline EnvironmentHold& noCurrentFolderSearchHold() {
    return detail::g_records->noCurrentFolderSearch;
}
#endif

}  // namespace vsn
