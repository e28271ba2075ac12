// The bodies of the seventeen module-level functions, one per row of the table in
// vsnRtrv.cpp. Each body receives its Frame, calls f.at(line) before each statement
// that can fail, and returns an empty Ref when an exception is pending; the wrapper
// that the table row makes adds the traceback entry and hands the result over.
//
// Forms: no-argument bodies take only the Frame; one-argument bodies take the argument
// (borrowed); keyword-capable bodies take the bound arguments (borrowed), in
// declaration order.
#pragma once

#include "module/api.hpp"

namespace vsn::fn {

// Platform detection, dispatch and main entry (src/module/dispatch.cpp).
Ref getPlatform(Frame& f);
Ref rtrvDriveInfo(Frame& f, PyObject* const* args);      // sys_type
Ref rtrvDriveVSNPairs(Frame& f, PyObject* const* args);  // sys_type
Ref _main(Frame& f);

// Command runner (src/command/).
Ref _cleanStdout(Frame& f, PyObject* byte_string);
Ref _runCmdList(Frame& f, PyObject* const* args);  // cmd_list, isShellCmd

// Linux retrieval (src/linux/).
Ref rtrvDrivesInfoLinux(Frame& f);
Ref rtrvDriveVSNPairsLinux(Frame& f);
Ref addDrivesPathsLinux(Frame& f, PyObject* drive_vsn_pairs);
Ref _convDrivesInfoListToClassLinux(Frame& f, PyObject* info_list);

// Windows retrieval (src/windows/).
Ref rtrvDriveVSNPairsWindows(Frame& f);
Ref rtrvDriveListWindows(Frame& f);
Ref rtrvDriveListVSNsWindows(Frame& f, PyObject* drive_list);
Ref rtrvDriveVSNWindows(Frame& f, PyObject* drive);
Ref rtrvDrivesFromStrWindows(Frame& f, PyObject* string);
Ref rtrvVSNFromStrWindows(Frame& f, PyObject* string);
Ref _convDrivesInfoListToClassWindows(Frame& f, PyObject* info_list);

}  // namespace vsn::fn
