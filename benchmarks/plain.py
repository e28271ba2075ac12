"""The module's work written as an ordinary Python module: the yardstick for bench.py.

Same functions, same results, same order of work, and every module-level name looked
up at the moment of use, as Python itself does. Written the way one would write it in
Python for speed (dict lookups for df, no needless copies), so that the comparison is
with good Python, not with a straw man.
"""

import os
from subprocess import PIPE, run
from sys import platform

# Characters that make the command interpreter act in the middle of a word.
_SHELL_ACTIVE = frozenset('&|<>^"%!()\r\n\0')
_SHELL_ACTIVE_BYTES = frozenset(b'&|<>^"%!()\r\n\0')


class DriveInfo:
    def __init__(self, drive, vsn, path):
        self._drive = drive
        self._path = path
        self._vsn = vsn

    def __str__(self):
        return self._drive

    def printinfo(self):
        return "Drive: {}, Path: {}, VSN: {}".format(self._drive, self._path, self._vsn)

    def getDrive(self):
        return self._drive

    def setDrive(self, drive):
        self._drive = drive

    def getPath(self):
        return self._path

    def setPath(self, path):
        self._path = path

    def getVSN(self):
        return self._vsn

    def setVSN(self, vsn):
        self._vsn = vsn

    def updateInfo(self):
        pass

    def updatePath(self):
        pass

    def updateVSN(self):
        pass


def getPlatform():
    if "linux" in platform:
        return "lin"
    if platform == "win32":
        return "win"
    return "Error: Unsupported platform."


def _cleanStdout(byte_string):
    return byte_string.decode("utf-8", "surrogateescape").rstrip().lstrip()


def _runCmdList(cmd_list, isShellCmd=False):
    process = run(cmd_list, stdout=PIPE, shell=isShellCmd)
    return _cleanStdout(process.stdout)


def rtrvDriveInfo(sys_type="win"):
    if sys_type == "lin":
        drive_info_list = rtrvDrivesInfoLinux()
        return _convDrivesInfoListToClassLinux(drive_info_list)
    if sys_type == "win":
        drive_info_list = rtrvDriveVSNPairsWindows()
        return _convDrivesInfoListToClassWindows(drive_info_list)
    return "Error: Unsupported platform."


def rtrvDrivesInfoLinux():
    cmd_list = ["blkid"]
    rtrn_str = _runCmdList(cmd_list)
    drive_vsn_pairs = []
    for line in rtrn_str.split("\n"):
        line_split = line.split()
        for element in line_split:
            if element.startswith("UUID="):
                drive = line_split[0]
                uuid = element[6:-1]
                if 9 < len(uuid) < 17:
                    uuid = uuid[8:12] + "-" + uuid[12:]
                if "sda" not in drive:
                    drive_vsn_pairs.append([drive[:-1], uuid])
    return addDrivesPathsLinux(drive_vsn_pairs)


def addDrivesPathsLinux(drive_vsn_pairs):
    pairs = drive_vsn_pairs.copy()
    cmd_list = ["df", "-h"]
    output = _runCmdList(cmd_list)
    n = len(pairs)
    first = {}
    more = {}
    for line in output.split("\n"):
        split = line.split(None, 5)
        if len(split) <= 5:
            continue
        device = split[0]
        if device in first:
            more.setdefault(device, []).append(split[5])
        else:
            first[device] = split[5]
    for i in range(n):
        entry = pairs[i]
        device = entry[0]
        if isinstance(device, str) and device in first:
            entry.append(first[device])
            for path in more.get(device, ()):
                entry.append(path)
    return pairs


def _convDrivesInfoListToClassLinux(info_list):
    class_list = []
    for info in info_list:
        if len(info[1]) > 9:
            continue
        if hasattr(type(info), "__len__") and len(info) == 2:
            continue
        class_list.append(DriveInfo(info[0], info[1], info[2]))
    return class_list


def rtrvDriveVSNPairsLinux():
    cmd_list = ["blkid"]
    rtrn_str = _runCmdList(cmd_list)
    drive_vsn_pairs = []
    for line in rtrn_str.split("\n"):
        line_split = line.split()
        for element in line_split:
            if element.startswith("UUID="):
                drive_vsn_pairs.append([line_split[0], element[6:-1]])
    return drive_vsn_pairs


def rtrvDriveVSNPairsWindows():
    drives = rtrvDriveListWindows()
    vsns = rtrvDriveListVSNsWindows(drives)
    drive_vsn_pairs = []
    for i in range(len(drives)):
        drive_vsn_pairs.append([drives[i], vsns[i]])
    return drive_vsn_pairs


def rtrvDriveListWindows():
    cmd_list = ["fsutil", "fsinfo", "drives"]
    rtrn_str = _runCmdList(cmd_list)
    return rtrvDrivesFromStrWindows(rtrn_str)


def rtrvDriveListVSNsWindows(drive_list):
    rtrn_list = []
    for drive in drive_list:
        rtrn_list.append(rtrvDriveVSNWindows(drive))
    return rtrn_list


def _holdsShellActive(drive):
    if isinstance(drive, str):
        return not _SHELL_ACTIVE.isdisjoint(drive)
    if isinstance(drive, bytes):
        return not _SHELL_ACTIVE_BYTES.isdisjoint(drive)
    if hasattr(type(drive), "__fspath__"):
        return _holdsShellActive(os.fspath(drive))
    return False


def rtrvDriveVSNWindows(drive):
    if _holdsShellActive(drive):
        raise ValueError(
            f"drive {drive!r} holds a character that the command interpreter acts on")
    cmd_list = ["vol", drive]
    vsn_str = _runCmdList(cmd_list, True)
    return rtrvVSNFromStrWindows(vsn_str)


def rtrvDrivesFromStrWindows(string):
    rtrn_list = []
    split_str = string.split()
    for i in range(1, len(split_str)):
        rtrn_list.append(split_str[i][:-1])
    return rtrn_list


def rtrvVSNFromStrWindows(string):
    split_str = string.split()
    return split_str[-1]


def _convDrivesInfoListToClassWindows(info_list):
    class_list = []
    for entry in info_list:
        class_list.append(DriveInfo(entry[0], entry[1], entry[0]))
    return class_list


def rtrvDriveVSNPairs(sys_type="win"):
    if sys_type == "lin":
        return rtrvDriveVSNPairsLinux()
    return rtrvDriveVSNPairsWindows()


def _main():
    infos = rtrvDriveInfo(getPlatform())
    if isinstance(infos, str) and infos == "Error: Unsupported platform.":
        print(infos)
        return
    for info in infos:
        print(info.printinfo())
