"""The Linux retrieval against the real blkid and df, on loop devices made for the test.

Four small disk images: a mounted FAT file system whose label and mount point both hold a
space, a mounted NTFS one (a 16-digit serial), a mounted ext4 one (a 36-character UUID)
and a FAT one left unmounted. The kernel mounts them where it will; a container may
refuse, and then FUSE (fusefat, ntfs-3g, fuse2fs) mounts them, naming the loop device as
the source so that df shows it.

Needs root, loop devices, the mkfs tools and a way to mount; without them the tests skip
with the reason, or fail where VSN_DEVICE_TESTS=required says the machine must have them.
Every mount and loop device is undone, whatever the outcome.
"""

import json
import os
import shutil
import subprocess
import sys
import time

import pytest

import vsnRtrv

FAT_LABEL = "VSN DISK"


def unavailable(reason):
    if os.environ.get("VSN_DEVICE_TESTS") == "required":
        pytest.fail("real devices are required here, but " + reason, pytrace=False)
    pytest.skip(reason)


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

    def __init__(self, root):
        self.root = root
        self.devices = {}
        self.mounts = {}
        self._undo = []
        self._janitor = subprocess.Popen(
            [sys.executable, "-I", "-c", JANITOR], stdin=subprocess.PIPE,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)

    def _tell(self, *step):
        self._janitor.stdin.write(json.dumps(step).encode() + b"\n")
        self._janitor.stdin.flush()

    def attach(self, name, *mkfs):
        image = self.root / (name + ".img")
        with open(image, "wb") as f:
            f.truncate(8 << 20)
        run(*mkfs, str(image))
        device = run("losetup", "--find", "--show", str(image)).strip()
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


@pytest.fixture(scope="module")
def machine(request, tmp_path_factory):
    if os.geteuid() != 0:
        unavailable("loop devices can only be made as root")
    if not os.path.exists("/dev/loop-control"):
        unavailable("the machine has no loop devices (/dev/loop-control)")
    needed = ["losetup", "mount", "umount", "blkid", "df", "mkfs.vfat", "mkntfs", "mkfs.ext4"]
    missing = [tool for tool in needed if shutil.which(tool) is None]
    if missing:
        unavailable("missing tools: " + ", ".join(missing))

    made = Machine(tmp_path_factory.mktemp("devices"))
    request.addfinalizer(made.close)
    try:
        made.attach("fat_mount", "mkfs.vfat", "-n", FAT_LABEL)
        made.attach("ntfs", "mkntfs", "--force", "--quick", "--quiet")
        made.attach("ext4", "mkfs.ext4", "-q", "-F")
        made.attach("fat_unmounted", "mkfs.vfat")
    except RuntimeError as e:
        if "losetup" in str(e):
            unavailable("no loop device could be attached: " + str(e))
        raise
    # fsname: df names the source as FUSE reports it, and it must be the device.
    made.mount("fat_mount", "vfat", "fusefat", "DEVICE", "POINT", "-f", "-o", "ro,fsname=DEVICE")
    made.mount("ntfs", "ntfs3", "ntfs-3g", "-o", "no_detach", "DEVICE", "POINT")
    made.mount("ext4", "ext4", "fuse2fs", "DEVICE", "POINT", "-f", "-o", "fsname=DEVICE")
    made.uuids = {name: run("blkid", "-s", "UUID", "-o", "value", device).strip()
                  for name, device in made.devices.items()}
    return made


def expected_records(machine):
    ntfs = machine.uuids["ntfs"]
    return {
        machine.devices["fat_mount"]: (machine.mounts["fat_mount"], machine.uuids["fat_mount"]),
        machine.devices["ntfs"]: (machine.mounts["ntfs"], ntfs[8:12] + "-" + ntfs[12:]),
    }


def test_records_and_pairs_from_the_real_tools(machine):
    uuids = machine.uuids
    # What the parser meets: a label with a space, and identifiers of 9, 16 and 36 characters.
    blkid = run("blkid", machine.devices["fat_mount"])
    assert f'LABEL="{FAT_LABEL}"' in blkid
    assert [len(uuids[name]) for name in ("fat_mount", "ntfs", "ext4", "fat_unmounted")] == [
        9, 16, 36, 9]
    assert " " in machine.mounts["fat_mount"]

    ours = {device: name for name, device in machine.devices.items()}
    records = {r.getDrive(): (r.getPath(), r.getVSN())
               for r in vsnRtrv.rtrvDriveInfo("lin") if r.getDrive() in ours}
    assert records == expected_records(machine)

    pairs = [p for p in vsnRtrv.rtrvDriveVSNPairs("lin") if p[0][:-1] in ours]
    assert sorted(pairs) == sorted([device + ":", uuids[name]] for device, name in ours.items())


def test_command_prints_the_mounted_devices(machine):
    command = shutil.which("vsnRtrv", path=os.path.dirname(sys.executable))
    assert command is not None, "the vsnRtrv command is not installed beside " + sys.executable
    result = subprocess.run([command], stdin=subprocess.DEVNULL, capture_output=True, text=True)
    assert (result.returncode, result.stderr) == (0, "")
    ours = tuple(f"Drive: {device}," for device in machine.devices.values())
    lines = [line for line in result.stdout.splitlines() if line.startswith(ours)]
    assert sorted(lines) == sorted(f"Drive: {device}, Path: {path}, VSN: {vsn}"
                                   for device, (path, vsn) in expected_records(machine).items())
