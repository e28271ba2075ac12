"""The installed `vsnRtrv` command, run as a child process."""

import os
import shutil
import subprocess
import sys

import pytest

from samples import BLKID, DF


@pytest.fixture(scope="module")
def command():
    found = shutil.which("vsnRtrv", path=os.path.dirname(sys.executable))
    if found is None:
        pytest.fail("the vsnRtrv command is not installed beside " + sys.executable)
    return found


def run_command(command, tools, **kwargs):
    return subprocess.run([command], capture_output=True, env={"PATH": str(tools.path)},
                          stdin=subprocess.DEVNULL, **kwargs)


def test_prints_one_line_per_drive(command, tools):
    tools.add("blkid", BLKID)
    tools.add("df", DF)
    result = run_command(command, tools)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode().splitlines() == [
        "Drive: /dev/sdb1, Path: /media/user/USBSTICK, VSN: 1A2B-3C4D",
        "Drive: /dev/sdc1, Path: /media/user/Backup, VSN: A5E6-F789",
    ]
    assert result.stderr == b""


def test_no_drives_prints_nothing(command, tools):
    tools.add("blkid")
    tools.add("df", DF)
    result = run_command(command, tools)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")


def test_missing_blkid_fails_with_the_modules_traceback(command, tools):
    tools.add("df", DF)
    result = run_command(command, tools)
    assert result.returncode == 1
    assert result.stdout == b""
    err = result.stderr.decode()
    assert 'File "vsnRtrv", line 258, in vsnRtrv._main' in err
    assert 'File "vsnRtrv", line 96, in vsnRtrv.rtrvDriveInfo' in err
    assert 'File "vsnRtrv", line 111, in vsnRtrv.rtrvDrivesInfoLinux' in err
    assert "FileNotFoundError" in err
    order = [err.index(s) for s in ("vsnRtrv._main", "vsnRtrv.rtrvDriveInfo",
                                     "vsnRtrv.rtrvDrivesInfoLinux", "vsnRtrv._runCmdList")]
    assert order == sorted(order)
