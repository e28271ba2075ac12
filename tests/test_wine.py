"""One FAT volume, one identifier: the Linux chain and the Windows chain agree on it.

A FAT image made with a known serial, on a loop device, is read here by the Linux chain
(blkid, df) and, given to Wine as drive D:, by the Windows chain in Windows CPython (cmd's
own vol). Needs what tests/devices.py needs, Wine, and a Windows CPython with the module
installed: VSN_WINDOWS_PYTHON names its python.exe (CI sets it after building the Windows
wheels). Without that variable the test skips; with it, a missing piece fails it where
VSN_DEVICE_TESTS=required.
"""

import json
import os
import shlex
import subprocess
import sys

import pytest

import vsnRtrv
from devices import Machine, require, run, unavailable

WINE = "/usr/lib/wine/wine64"  # Debian installs it outside PATH
SERIAL = "1A2B3C4D"

# The Windows side, run by Windows CPython. fsutil's "fsinfo drives" is not one that Wine
# answers, so run is rebound for that one command; vol goes to the real cmd.
WINDOWS_SIDE = r"""
import json, subprocess, sys
import vsnRtrv

real_run = vsnRtrv.run
def run(cmd, *args, **kwargs):
    if cmd == ["fsutil", "fsinfo", "drives"]:
        return subprocess.CompletedProcess(cmd, 0, stdout=b"Drives: D:\\\r\n")
    return real_run(cmd, *args, **kwargs)
vsnRtrv.run = run
records = vsnRtrv.rtrvDriveInfo("win")
with open(sys.argv[1], "w") as out:
    json.dump({"vsn": vsnRtrv.rtrvDriveVSNWindows("D:"),
               "records": [[r.getDrive(), r.getPath(), r.getVSN()] for r in records]}, out)
"""


@pytest.fixture
def windows_python():
    if not sys.platform.startswith("linux"):
        pytest.skip("Wine and the loop devices are Linux's")
    python = os.environ.get("VSN_WINDOWS_PYTHON")
    if not python:
        pytest.skip("VSN_WINDOWS_PYTHON names no Windows CPython to run under Wine")
    if not os.access(WINE, os.X_OK):
        unavailable(f"Wine is not installed ({WINE})")
    if not os.path.isfile(python):
        unavailable(f"VSN_WINDOWS_PYTHON={python} is not a file")
    return python


@pytest.fixture
def fat(request):
    require("blkid", "df", "mkfs.vfat")
    made = Machine()
    request.addfinalizer(made.close)
    made.attach("fat", "mkfs.vfat", "-i", SERIAL, "-n", "VSN WINE")
    made.mount("fat", "vfat", "fusefat", "DEVICE", "POINT", "-f", "-o", "ro,fsname=DEVICE")
    return made


@pytest.fixture
def wine_prefix(tmp_path):
    """A Wine prefix of the test's own, so that runs share no drives and no state."""
    prefix = tmp_path / "prefix"
    env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    yield prefix, env
    subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def under_wine(env, log, *argv):
    """Runs a Windows console program, which needs a terminal under Wine: `script` gives
    it one, and keeps what it printed in `log` (callers judge by what the program wrote,
    and show the log when that is missing)."""
    command = " ".join(shlex.quote(a) for a in (WINE, *argv))
    subprocess.run(["script", "-q", "-c", command, str(log)], env=env,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=300)


def test_one_fat_volume_gives_one_identifier_to_both_chains(windows_python, fat, wine_prefix,
                                                           tmp_path, monkeypatch):
    device, point = fat.devices["fat"], fat.mounts["fat"]
    # blkid's shared cache trusts an entry for minutes: a loop device that another run
    # just had, with another file system on it, would still show that one's identifier.
    monkeypatch.setenv("BLKID_FILE", str(tmp_path / "blkid.tab"))
    expected = SERIAL[:4] + "-" + SERIAL[4:]
    linux = {r.getDrive(): (r.getPath(), r.getVSN()) for r in vsnRtrv.rtrvDriveInfo("lin")}
    assert linux[device] == (point, expected)

    prefix, env = wine_prefix
    under_wine(env, tmp_path / "prefix.log", "cmd", "/c", "exit")  # makes the prefix
    dosdevices = prefix / "dosdevices"
    assert dosdevices.is_dir(), "Wine made no prefix"
    # D: is the mounted folder; "d::" names the device, where vol reads the boot sector.
    for link, target in (("d:", point), ("d::", device)):
        if os.path.lexists(dosdevices / link):
            os.unlink(dosdevices / link)
        os.symlink(target, dosdevices / link)
    # Stop the prefix's server, so that the next start reads the new drives; -w waits
    # until it is gone, or the next start could still meet the old one.
    for option in ("-k", "-w"):
        subprocess.run(["/usr/lib/wine/wineserver", option], env=env,
                       stdin=subprocess.DEVNULL)

    script = tmp_path / "windows_side.py"
    script.write_text(WINDOWS_SIDE)
    report = tmp_path / "windows_side.json"
    log = tmp_path / "windows_side.log"
    under_wine(env, log, windows_python, str(script), str(report))
    assert report.exists(), "Windows CPython under Wine wrote no report:\n" + (
        log.read_text(errors="replace") if log.exists() else "(no output)")
    windows = json.loads(report.read_text())
    # Wine's vol prints the hexadecimal digits in lower case where Windows prints upper
    # case; the identifier is the same number, so case is not compared.
    assert windows["vsn"].upper() == expected
    assert [[d, p, v.upper()] for d, p, v in windows["records"]] == [["D:", "D:", expected]]
    assert run("blkid", "-s", "UUID", "-o", "value", device).strip() == expected
