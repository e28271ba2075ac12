"""Every function, called many times, success and error paths alike, must not grow memory.

A reference that is never dropped keeps its object alive; tracemalloc sees every such
object, since the module allocates only through the interpreter. A reference to an
object that lives on anyway (an interned name, a shared constant) costs no memory: a
debug build of the interpreter counts every reference and block, and there the same
calls must leave both counts flat.
"""

import contextlib
import gc
import io
import subprocess
import sys
import tracemalloc

import pytest

import vsnRtrv
from conftest import Bytes, Decodes, through_methods
from samples import BLKID

DF = (
    b"Filesystem      Size  Used Avail Use% Mounted on\n"
    b"/dev/sdb1       7.5G  1.2G  6.3G  16% /media/user/USBSTICK\n"
    b"/dev/sdc1       932G  100G  832G  11% /media/user/Backup Disk\n"
)
OUTPUTS = {
    ("blkid",): BLKID,
    ("df", "-h"): DF,
    ("fsutil", "fsinfo", "drives"): b"Drives: C:\\ D:\\\r\n",
    ("vol", "C:"): b" Volume in drive C is System\r\n Volume Serial Number is 5E0B-A7C2\r\n",
    ("vol", "D:"): b" Volume in drive D has no label.\r\n Volume Serial Number is 0C1F-77B0\r\n",
    ("vol", "E:"): b"",
}


def fake_run(cmd, stdout=None, shell=False):
    if cmd == ["missing"]:
        raise FileNotFoundError(2, "No such file or directory", "missing")
    return subprocess.CompletedProcess(cmd, 0, stdout=OUTPUTS[tuple(cmd)])


def swallow(call, *exceptions):
    def run():
        try:
            call()
        except exceptions:
            pass

    return run


def methods(call):
    def run():
        with through_methods():
            call()

    return run


def quietly(call):
    def run():
        with contextlib.redirect_stdout(io.StringIO()):
            call()

    return run


def record():
    return vsnRtrv.DriveInfo("/dev/sdb1", "1A2B-3C4D", "/media/usb")


def method_attributes():
    method = vsnRtrv.DriveInfo.getDrive
    return (method.__name__, method.__qualname__, method.__module__, method.__doc__,
            method.__globals__, method.__code__, method.__defaults__, method.__kwdefaults__,
            method.__annotations__, method.__reduce__(), method.__get__(record()), repr(method))


CASES = {
    "runCmdList": lambda: vsnRtrv._runCmdList(["blkid"]),
    "runCmdList-missing": swallow(lambda: vsnRtrv._runCmdList(["missing"]), OSError),
    "runCmdList-binding": swallow(lambda: vsnRtrv._runCmdList(["x"], cmd_list=1, zz=2), TypeError),
    "runCmdList-keywords": lambda: vsnRtrv._runCmdList(cmd_list=["df", "-h"], isShellCmd=False),
    "cleanStdout": lambda: vsnRtrv._cleanStdout(b"  caf\xe9 \r\n"),
    "cleanStdout-str": swallow(lambda: vsnRtrv._cleanStdout("x"), AttributeError),
    "cleanStdout-methods": lambda: [vsnRtrv._cleanStdout(kind(b" caf\xe9 \r\n"))
                                    for kind in (bytearray, Decodes, Bytes)],
    "getPlatform": vsnRtrv.getPlatform,
    "driveInfo-lin": lambda: vsnRtrv.rtrvDriveInfo("lin"),
    "driveInfo-win": lambda: vsnRtrv.rtrvDriveInfo(sys_type="win"),
    "driveInfo-other": lambda: vsnRtrv.rtrvDriveInfo(None),
    "driveInfo-binding": swallow(lambda: vsnRtrv.rtrvDriveInfo(1, 2), TypeError),
    "pairs-lin": lambda: vsnRtrv.rtrvDriveVSNPairs("lin"),
    "pairs-win": lambda: vsnRtrv.rtrvDriveVSNPairs(),
    "driveInfo-lin-methods": methods(lambda: vsnRtrv.rtrvDriveInfo("lin")),
    "pairs-methods": methods(lambda: (vsnRtrv.rtrvDriveVSNPairs("lin"),
                                      vsnRtrv.rtrvDriveVSNPairs("win"))),
    "vol-empty-methods": methods(swallow(lambda: vsnRtrv.rtrvDriveVSNWindows("E:"), IndexError)),
    "vol-empty": swallow(lambda: vsnRtrv.rtrvDriveVSNWindows("E:"), IndexError),
    "vol-refused": swallow(lambda: vsnRtrv.rtrvDriveVSNWindows("C: & x"), ValueError),
    "drives-parse-bytes": lambda: vsnRtrv.rtrvDrivesFromStrWindows(b"Drives: C:\\ D:\\"),
    "drives-parse-none": swallow(lambda: vsnRtrv.rtrvDrivesFromStrWindows(None), AttributeError),
    "vsns-generator": lambda: vsnRtrv.rtrvDriveListVSNsWindows(d for d in ["C:", "D:"]),
    "conv-win-short": swallow(lambda: vsnRtrv._convDrivesInfoListToClassWindows([["C:"]]),
                              IndexError),
    "paths": lambda: vsnRtrv.addDrivesPathsLinux([["/dev/sdb1", "x"], [], ["/dev/sdc1", "y"]][::2]),
    "paths-empty-entry": swallow(lambda: vsnRtrv.addDrivesPathsLinux([[]]), IndexError),
    "conv-lin": lambda: vsnRtrv._convDrivesInfoListToClassLinux(
        [["/dev/sdb1", "1A2B-3C4D", "/m"], ["/dev/sdc", "00-"], ("/dev/x", "0123456789")]),
    "conv-lin-short": swallow(lambda: vsnRtrv._convDrivesInfoListToClassLinux([["x"]]),
                              IndexError),
    "record": lambda: (record().printinfo(), str(record()), record().getVSN()),
    "record-setters": lambda: (record().setVSN(vsn="x"), record().setPath("p"),
                               record().updateInfo()),
    "record-binding": swallow(lambda: record().setVSN(), TypeError),
    "record-one-arg": swallow(lambda: record().getDrive(1), TypeError),
    "main": quietly(vsnRtrv._main),
    "main-binding": swallow(lambda: vsnRtrv._main(1), TypeError),
    "record-missing": swallow(lambda: vsnRtrv.DriveInfo.printinfo(object()), AttributeError),
    "record-rest": lambda: (record().getDrive(), record().getPath(), record().setDrive("d"),
                            record().updatePath(), record().updateVSN(), record().__str__()),
    "record-init-binding": swallow(lambda: vsnRtrv.DriveInfo("x"), TypeError),
    "method-attributes": method_attributes,
    "method-get-refused": swallow(lambda: vsnRtrv.DriveInfo.getDrive.__get__(None), TypeError),
    "info-linux": vsnRtrv.rtrvDrivesInfoLinux,
    "pairs-linux": vsnRtrv.rtrvDriveVSNPairsLinux,
    "pairs-windows": vsnRtrv.rtrvDriveVSNPairsWindows,
    "drives-windows": vsnRtrv.rtrvDriveListWindows,
    "vol": lambda: vsnRtrv.rtrvDriveVSNWindows("C:"),
    "vsns-not-iterable": swallow(lambda: vsnRtrv.rtrvDriveListVSNsWindows(1), TypeError),
    "vsn-parse": lambda: (vsnRtrv.rtrvVSNFromStrWindows(OUTPUTS[("vol", "C:")].decode()),
                          vsnRtrv.rtrvVSNFromStrWindows(OUTPUTS[("vol", "D:")])),
    "vsn-parse-empty": swallow(lambda: vsnRtrv.rtrvVSNFromStrWindows(""), IndexError),
    "vsn-parse-none": swallow(lambda: vsnRtrv.rtrvVSNFromStrWindows(None), AttributeError),
    "conv-win": lambda: vsnRtrv._convDrivesInfoListToClassWindows([["C:", "5E0B-A7C2"]]),
}


@pytest.fixture
def quiet_tools(monkeypatch):
    monkeypatch.setattr(vsnRtrv, "run", fake_run)


def traced():
    return tracemalloc.get_traced_memory()[0]


def growth(call, times, measure=traced, windows=3):
    """Smallest growth of `measure` over a few windows of `times` calls.

    A leak grows memory in every window; the interpreter's own one-off growth (a cache
    or table resized once) lands in one window at most.
    """
    for _ in range(200):
        call()
    tracemalloc.start()
    try:
        grown = []
        for _ in range(windows):
            gc.collect()
            before = measure()
            for _ in range(times):
                call()
            gc.collect()
            grown.append(measure() - before)
    finally:
        tracemalloc.stop()
    return min(grown)


@pytest.mark.parametrize("name", sorted(CASES))
def test_no_growth(quiet_tools, name):
    times = 2000
    # Even one leaked small object per call would add well over 50 KB.
    assert growth(CASES[name], times) < 24 * 1024


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                    reason="only a debug build of the interpreter counts its references")
@pytest.mark.parametrize("name", sorted(CASES))
def test_no_reference_or_block_growth(quiet_tools, name):
    times = 1000
    # One reference or block kept per call grows the count by `times` in every window;
    # flat leaves it where it was, give or take the measurement's own few.
    assert growth(CASES[name], times, sys.gettotalrefcount) < 10
    assert growth(CASES[name], times, sys.getallocatedblocks) < 10


def test_reimport_no_growth():
    # The module state is a block of no size, which tracemalloc weighs as nothing: count
    # the blocks it traces instead.
    def reimport():
        del sys.modules["vsnRtrv"]
        import vsnRtrv  # noqa: F401

    times = 2000
    grown = growth(reimport, times, lambda: len(tracemalloc.take_snapshot().traces))
    # A leak keeps a block per import; the import system's own caches move a few dozen.
    assert grown < times // 10
    assert sys.modules["vsnRtrv"] is vsnRtrv


def test_record_calls_keep_no_reference_and_no_memory():
    # A reference taken and never dropped allocates nothing: count the references too.
    DriveInfo = vsnRtrv.DriveInfo
    drive, vsn, path = object(), object(), object()
    d = DriveInfo(drive, vsn, path)
    bare = object()
    methods = [name for name in vars(DriveInfo) if callable(vars(DriveInfo)[name])]

    def round_():
        DriveInfo(drive, vsn, path=path).printinfo()
        str(DriveInfo("s", vsn, path))
        for name in methods[2:]:
            getattr(d, name)(*([drive] * (name.startswith("set"))))
        d.setVSN(vsn=vsn)
        for bad in (lambda: d.setVSN(), lambda: d.getVSN(1), lambda: d.getPath(k=1),
                    lambda: DriveInfo.printinfo(bare), lambda: DriveInfo(drive, vsn)):
            try:
                bad()
            except (TypeError, AttributeError):
                pass
        d.setVSN(vsn)

    watched = [drive, vsn, path, d, bare, DriveInfo] + [vars(DriveInfo)[m] for m in methods]
    for _ in range(50):
        round_()
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    assert growth(round_, 2000) < 24 * 1024
    assert [sys.getrefcount(o) for o in watched] == counts


def test_the_measurement_sees_a_leak_of_one_object_per_call():
    kept = []
    assert growth(lambda: kept.append(object()), 2000) >= 24 * 1024
