"""Material shared by the tests.

The recorded tool output is one Linux machine with a USB stick, an NTFS backup disk and
its whole-disk line, and the system disk.
"""

import os
import subprocess

import pytest

BLKID = (
    b'/dev/sda1: UUID="3f1c2a9e-5d8b-4c1e-9a7f-2b6e8d4c1a0f" BLOCK_SIZE="4096" TYPE="ext4"'
    b' PARTUUID="0a1b2c3d-01"\n'
    b'/dev/sdb1: LABEL="USBSTICK" UUID="1A2B-3C4D" BLOCK_SIZE="512" TYPE="vfat"'
    b' PARTUUID="5e6f7a8b-01"\n'
    b'/dev/sdc1: UUID="01D2C3B4A5E6F789" BLOCK_SIZE="512" TYPE="ntfs" PARTUUID="c0ffee00-01"\n'
    b'/dev/sdc: PTUUID="c0ffee00" PTTYPE="dos"\n'
)
DF = (
    b"Filesystem      Size  Used Avail Use% Mounted on\n"
    b"udev            3.9G     0  3.9G   0% /dev\n"
    b"/dev/sda1        98G   12G   81G  13% /\n"
    b"/dev/sdb1       7.5G  1.2G  6.3G  16% /media/user/USBSTICK\n"
    b"/dev/sdc1       932G  100G  832G  11% /media/user/Backup\n"
)


class Record:
    """Stands in for DriveInfo: keeps what it was built with."""

    def __init__(self, *args):
        self.args = args


def message_of(action):
    """What the interpreter itself says when action fails: the words of an error that the
    module only passes on are the running interpreter's, and change between versions."""
    try:
        action()
    except Exception as error:
        return str(error)
    raise AssertionError("the action did not fail")


def vol_serial(drive):
    """What Windows' own `vol` prints as the serial of `drive`, read here independently of
    the module. vol is built into cmd, which runs it before any program of that name, so
    on Windows a test of the real processes gets this machine's answer."""
    out = subprocess.run(f"vol {drive}", shell=True, stdout=subprocess.PIPE,
                         stdin=subprocess.DEVNULL, check=True).stdout
    return out.split()[-1].decode()


def process_variable(name):
    """A variable of the process environment that a child inherits, which os.environ (a
    copy taken at start-up) does not show when C code changes it; None when unset."""
    import ctypes

    buffer = ctypes.create_unicode_buffer(32767)
    ctypes.set_last_error(0)
    if ctypes.WinDLL("kernel32", use_last_error=True).GetEnvironmentVariableW(
            name, buffer, len(buffer)):
        return buffer.value
    return None if ctypes.get_last_error() == 203 else ""  # ERROR_ENVVAR_NOT_FOUND


windows_only = pytest.mark.skipif(os.name != "nt", reason="needs Windows and its cmd")


def deepest_c_recursion(limit=1 << 15):
    """How deep isinstance can go into nested tuples from here: each level is a C-level
    recursion, counted as the interpreter counts those. Equal before and after a call
    when the call gave back all the count it took."""
    def works(depth):
        classes = int
        for _ in range(depth):
            classes = (classes,)
        try:
            isinstance("", classes)
        except RecursionError:
            return False
        return True

    low, high = 1, limit  # works(low), and not works(high)
    while high - low > 1:
        middle = (low + high) // 2
        low, high = (middle, high) if works(middle) else (low, middle)
    return low
