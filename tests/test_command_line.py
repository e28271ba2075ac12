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
    assert 'File "vsnRtrv", line 263, in init vsnRtrv' in err
    assert 'File "vsnRtrv", line 258, in vsnRtrv._main' in err
    assert 'File "vsnRtrv", line 96, in vsnRtrv.rtrvDriveInfo' in err
    assert 'File "vsnRtrv", line 111, in vsnRtrv.rtrvDrivesInfoLinux' in err
    assert "FileNotFoundError" in err
    order = [err.index(s) for s in ("init vsnRtrv", "vsnRtrv._main", "vsnRtrv.rtrvDriveInfo",
                                     "vsnRtrv.rtrvDrivesInfoLinux", "vsnRtrv._runCmdList")]
    assert order == sorted(order)


def test_runs_the_interpreter_of_the_environment_it_sits_in(command, tools, tmp_path):
    # A fresh virtual environment holding only a copy of the command: the interpreter
    # it starts must be that environment's, as its own python would be.
    env_dir = tmp_path / "env"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(env_dir)], check=True)
    copied = env_dir / "bin" / "vsnRtrv"
    shutil.copy2(command, copied)
    site = subprocess.run(
        [str(env_dir / "bin" / "python"), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
        capture_output=True, text=True, check=True).stdout.strip()
    with open(os.path.join(site, "sitecustomize.py"), "w") as f:
        f.write("import sys\nsys.stderr.write('prefix=' + sys.prefix + '\\n')\n")
    tools.add("blkid")
    tools.add("df")
    result = run_command(str(copied), tools)
    assert result.returncode == 0, result.stderr
    assert result.stderr.decode().splitlines() == ["prefix=" + str(env_dir)]
