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

import os
import shutil
import subprocess
import sys

import pytest

import vsnRtrv
from devices import Machine, require, run

FAT_LABEL = "VSN DISK"


@pytest.fixture(scope="module")
def machine(request):
    require("blkid", "df", "mkfs.vfat", "mkntfs", "mkfs.ext4")
    made = Machine()
    request.addfinalizer(made.close)
    made.attach("fat_mount", "mkfs.vfat", "-n", FAT_LABEL)
    made.attach("ntfs", "mkntfs", "--force", "--quick", "--quiet")
    made.attach("ext4", "mkfs.ext4", "-q", "-F")
    made.attach("fat_unmounted", "mkfs.vfat")
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
