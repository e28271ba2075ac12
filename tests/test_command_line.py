"""The installed `vsnRtrv` command, run as a child process; an unsupported platform, which
a child cannot be given, through its entry in this process."""

import json
import os
import shutil
import subprocess
import sys
import sysconfig
from importlib import metadata

import pytest

import vsnRtrv
import vsnRtrv_cli
from samples import BLKID, DF, vol_serial, windows_only


# On Windows the command runs the Windows chain, whose tools the tests below do not fake.
linux_chain = pytest.mark.skipif(os.name == "nt", reason="the command runs the Windows chain "
                                 "there: test_windows_drives is the Windows case")


@pytest.fixture(scope="module")
def command():
    # Where pip writes scripts for this interpreter (Scripts\ on Windows, bin/ in a POSIX
    # venv), and beside the interpreter, where a POSIX installation without venv has them.
    folders = [sysconfig.get_path("scripts"), os.path.dirname(sys.executable)]
    found = shutil.which("vsnRtrv", path=os.pathsep.join(folders))
    if found is None:
        pytest.fail("the vsnRtrv command is not installed in " + " or ".join(folders))
    return found


def tool_environment(tools):
    # Windows programs, Python among them, need to know the system folder.
    names = ["SYSTEMROOT"] if os.name == "nt" else []
    return dict({name: os.environ[name] for name in names}, PATH=str(tools.path))


def run_command(command, tools, *args, **kwargs):
    kwargs.setdefault("stdout", subprocess.PIPE)
    return subprocess.run([command, *args], stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                          env=tool_environment(tools), **kwargs)


def many_drives(tools, count):
    tools.add("blkid", b"".join(b'/dev/sdb%d: UUID="1A2B-3C4D"\n' % i for i in range(count)))
    tools.add("df", b"".join(b"/dev/sdb%d 1G 1M 1G 1%% /mnt/%d\n" % (i, i) for i in range(count)))


@windows_only
@pytest.mark.parametrize("mode", [[], ["--json"]])
def test_windows_drives(command, tools, mode):
    tools.add("fsutil", b"Drives: C:\\\r\n")
    result = run_command(command, tools, *mode)
    assert (result.returncode, result.stderr) == (0, b"")
    serial = vol_serial("C:")
    if mode:
        assert json.loads(result.stdout) == [{"drive": "C:", "path": "C:", "vsn": serial}]
    else:
        assert result.stdout.decode().splitlines() == [f"Drive: C:, Path: C:, VSN: {serial}"]


@linux_chain
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


@linux_chain
def test_no_drives_prints_nothing(command, tools):
    tools.add("blkid")
    tools.add("df", DF)
    result = run_command(command, tools)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")


@linux_chain
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


@linux_chain
def test_json_holds_the_records(command, tools):
    tools.add("blkid", b'/dev/sdb1: LABEL="USB STICK" UUID="1A2B-3C4D" TYPE="vfat"\n')
    tools.add("df", DF.replace(b"/media/user/USBSTICK", b"/media/user/USB STICK"))
    result = run_command(command, tools, "--json")
    assert (result.returncode, result.stderr) == (0, b"")
    assert json.loads(result.stdout) == [
        {"drive": "/dev/sdb1", "path": "/media/user/USB STICK", "vsn": "1A2B-3C4D"}
    ]


def test_json_on_an_unsupported_platform(monkeypatch, capsys):
    monkeypatch.setattr(vsnRtrv, "platform", "darwin")
    assert vsnRtrv_cli.main(["--json"]) == 1
    assert capsys.readouterr() == ("", "vsnRtrv: Error: Unsupported platform.\n")


def test_options(command, tools):
    result = run_command(command, tools, "--version")
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode().splitlines() == [f"vsnRtrv {metadata.version('vsnRtrv')}"]
    result = run_command(command, tools, "--help")
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.startswith(b"usage: vsnRtrv") and b"--json" in result.stdout
    for wrong in ("--bogus", "extra"):
        result = run_command(command, tools, wrong)
        assert (result.returncode, result.stdout) == (2, b"")
        assert result.stderr.startswith(b"usage: vsnRtrv")


@linux_chain
@pytest.mark.parametrize("mode", [[], ["--json"]])
def test_reader_that_stops_early_ends_it_quietly(command, tools, mode):
    many_drives(tools, 5000)  # far more than a pipe holds
    with subprocess.Popen([command, *mode], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          stdin=subprocess.DEVNULL, env=tool_environment(tools)) as child:
        assert child.stdout.read(1)
        child.stdout.close()
        assert child.stderr.read() == b""
    assert child.returncode == 1


@linux_chain
@pytest.mark.parametrize("mode", [[], ["--json"]])
@pytest.mark.parametrize("output", ["closed", "/dev/full"])
def test_output_that_cannot_be_written_is_an_error(command, tools, mode, output):
    tools.add("blkid", BLKID)
    tools.add("df", DF)
    if output == "closed":
        result = subprocess.run(["/bin/sh", "-c", 'exec "$0" "$@" >&-', command, *mode],
                                stderr=subprocess.PIPE, env={"PATH": str(tools.path)})
        problem = "standard output is closed"
    else:
        if not os.path.exists(output):
            pytest.skip(f"this system has no {output}")
        with open(output, "wb") as full:
            result = run_command(command, tools, *mode, stdout=full)
        problem = "[Errno 28] No space left on device"
    assert result.returncode == 1
    assert result.stderr.decode() == f"vsnRtrv: cannot write output: {problem}\n"
