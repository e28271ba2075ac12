"""Loop devices made for a test: disk images, attached, mounted, and every step undone.

Several runs may share the machine (two CI clones, a developer beside CI), so nothing
here has a fixed name: each `Machine` keeps its images and mount points in a directory
of its own, and `losetup --find --show` picks and attaches a free loop device in one
step. A test is to look only at the devices its own `Machine` made.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest


def unavailable(reason):
    """Skips, or fails where VSN_DEVICE_TESTS=required says the machine must have them."""
    if os.environ.get("VSN_DEVICE_TESTS") == "required":
        pytest.fail("real devices are required here, but " + reason, pytrace=False)
    pytest.skip(reason)


def require(*tools):
    """Skips (or fails, see `unavailable`) unless loop devices can be made here."""
    if not sys.platform.startswith("linux"):
        pytest.skip("loop devices are made the Linux way only")
    if os.geteuid() != 0:
        unavailable("loop devices can only be made as root")
    if not os.path.exists("/dev/loop-control"):
        unavailable("the machine has no loop devices (/dev/loop-control)")
    missing = [tool for tool in ("losetup", "mount", "umount") + tools
               if shutil.which(tool) is None]
    if missing:
        unavailable("missing tools: " + ", ".join(missing))


def run(*cmd):
    result = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd)}: status {result.returncode}: {result.stderr}")
    return result.stdout


def wait_for(condition, what, seconds=20):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError("gave up waiting for " + what)
        time.sleep(0.05)


# Undoes what the tests' process leaves behind when it ends without undoing it itself
# (a crash, or a sanitizer ending it): it is told each step as it is taken, one JSON list
# a line, and acts only if its input ends without "done". A loop device is detached only
# while it still holds our image, since its number may have gone to someone else.
JANITOR = r"""
import json, os, subprocess, sys
steps = [json.loads(line) for line in sys.stdin]
if steps[-1:] == ["done"]:
    sys.exit()
for kind, *args in reversed(steps):
    if kind == "umount" and os.path.ismount(args[0]):
        subprocess.run(["umount", "--lazy", args[0]])
    elif kind == "detach":
        device, image = args
        try:
            with open("/sys/block/%s/loop/backing_file" % os.path.basename(device)) as f:
                backing = f.read().strip()
        except OSError:
            continue
        if backing == image:
            subprocess.run(["losetup", "--detach", device])
"""


class Machine:
    """Images on loop devices, mounted; `close` undoes every step taken, last first."""

    def __init__(self):
        self.root = Path(tempfile.mkdtemp(prefix="vsnRtrv-devices-"))
        self.devices = {}
        self.mounts = {}
        self._undo = [self._remove_root]
        self._janitor = subprocess.Popen(
            [sys.executable, "-I", "-c", JANITOR], stdin=subprocess.PIPE,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)

    def _tell(self, *step):
        self._janitor.stdin.write(json.dumps(step).encode() + b"\n")
        self._janitor.stdin.flush()

    def attach(self, name, *mkfs, size=8 << 20):
        """An image of `size` bytes made by `mkfs` (its argv, the image path appended),
        on a loop device of its own; returns the device path."""
        image = self.root / (name + ".img")
        with open(image, "wb") as f:
            f.truncate(size)
        if mkfs:
            run(*mkfs, str(image))
        try:
            device = run("losetup", "--find", "--show", str(image)).strip()
        except RuntimeError as e:
            unavailable("no loop device could be attached: " + str(e))
        self._tell("detach", device, os.path.realpath(image))
        self._undo.append(lambda: run("losetup", "--detach", device))
        self.devices[name] = device
        return device

    def mount(self, name, kernel_type, *fuse):
        """Mounts by the kernel, else by `fuse` (an argv in which DEVICE and POINT stand
        for the device and the mount point), run in the foreground: the daemon is then
        ours to wait for, and a loop device it still held open would outlive the detach."""
        device = self.devices[name]
        point = self.root / name.replace("_", " ")
        point.mkdir()
        self._tell("umount", str(point))
        kernel = subprocess.run(["mount", "-t", kernel_type, device, str(point)],
                                stdin=subprocess.DEVNULL, capture_output=True)
        if kernel.returncode == 0:
            self._undo.append(lambda: run("umount", str(point)))
        else:
            if not os.path.exists("/dev/fuse") or shutil.which(fuse[0]) is None:
                unavailable(f"the kernel will not mount {kernel_type} here, and "
                            f"{fuse[0]} with /dev/fuse is missing")
            argv = [a.replace("DEVICE", device).replace("POINT", str(point)) for a in fuse]
            log = self.root / (name + ".log")
            with open(log, "wb") as out:  # a file: a pipe left unread could stall the daemon
                daemon = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                          stderr=subprocess.STDOUT)
            self._undo.append(lambda: self._stop(daemon, point))
            wait_for(lambda: os.path.ismount(point) or daemon.poll() is not None,
                     f"{fuse[0]} to mount {device}")
            if not os.path.ismount(point):
                raise RuntimeError(f"{fuse[0]} could not mount {device}: "
                                   + log.read_text(errors="replace"))
        self.mounts[name] = str(point)

    @staticmethod
    def _stop(daemon, point):
        try:
            if os.path.ismount(point):
                run("umount", str(point))
            daemon.wait(timeout=20)
        finally:
            if daemon.poll() is None:
                daemon.kill()
                daemon.wait()

    def _remove_root(self):
        # Runs last: a mount point still in use is left, and nothing under it is touched.
        for entry in self.root.iterdir():
            if entry.is_dir():
                if not os.path.ismount(entry):
                    entry.rmdir()
            else:
                entry.unlink()
        self.root.rmdir()

    def close(self):
        failures = []
        while self._undo:
            try:
                self._undo.pop()()
            except Exception as e:  # every later step must still be undone
                failures.append(e)
        if not failures:
            self._tell("done")
        self._janitor.stdin.close()
        self._janitor.wait()
        if failures:
            raise failures[0]
