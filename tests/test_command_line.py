"""The installed `vsnRtrv` command, run as a child process with stand-in tools; what a
child cannot be given (another platform, another user, an odd sys.stdout, a record JSON
cannot hold) through its entry in this process."""

import errno
import io
import json
import os
import signal
import shutil
import subprocess
import sys
import sysconfig
import time
from importlib import metadata

import pytest

import _vsnRtrv_cli
import vsnRtrv
from samples import BLKID, DF, message_of, vol_serial

ONE_DRIVE_DF = b"/dev/sdb1 7.5G 1.2G 6.3G 16% /media/user/USBSTICK\n"


linux_chain = pytest.mark.skipif(os.name == "nt", reason="the command runs the Windows chain "
                                 "there, whose fsutil Windows always has")
posix_only = pytest.mark.skipif(os.name == "nt", reason="needs POSIX process groups and "
                                "signals, /bin/sh and /dev/full")


def usage_start():
    """How this interpreter's argparse begins the usage of the command, in its own words."""
    import argparse

    plain = argparse.ArgumentParser(prog="vsnRtrv", add_help=False,
                                    **({"color": False} if sys.version_info >= (3, 14) else {}))
    return plain.format_usage().rstrip("\n")


@pytest.fixture(scope="module")
def command():
    # Where pip writes scripts for this interpreter (Scripts\ on Windows, bin/ in a POSIX
    # venv), and beside the interpreter, where a POSIX installation without venv has them.
    folders = [sysconfig.get_path("scripts"), os.path.dirname(sys.executable)]
    found = shutil.which("vsnRtrv", path=os.pathsep.join(folders))
    if found is None:
        pytest.fail("the vsnRtrv command is not installed in " + " or ".join(folders))
    return found


def tool_environment(tools, env=()):
    # Windows programs, Python among them, need to know the system folder.
    names = ["SYSTEMROOT"] if os.name == "nt" else []
    return {**{name: os.environ[name] for name in names}, "PATH": str(tools.path), **dict(env)}


def run_command(command, tools, *args, env=(), **kwargs):
    kwargs.setdefault("stdout", subprocess.PIPE)
    return subprocess.run([command, *args], stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                          env=tool_environment(tools, env), **kwargs)


def many_drives(tools, count):
    tools.add("blkid", b"".join(b'/dev/sdb%d: UUID="1A2B-3C4D"\n' % i for i in range(count)))
    tools.add("df", b"".join(b"/dev/sdb%d 1G 1M 1G 1%% /mnt/%d\n" % (i, i) for i in range(count)))


@pytest.fixture
def linux(monkeypatch, fake_run):
    """This process as a Linux machine whose blkid and df print what the test gives."""
    monkeypatch.setattr(vsnRtrv, "platform", "linux")

    def tools(blkid=BLKID, df=DF):
        return fake_run(lambda cmd: blkid if cmd == ["blkid"] else df)

    return tools


@pytest.mark.parametrize("mode", [[], ["--json"]])
def test_prints_the_records(command, tools, mode):
    if os.name == "nt":
        tools.add("fsutil", b"Drives: C:\\\r\n")
        records = [("C:", "C:", vol_serial("C:"))]
    else:
        tools.add("blkid", BLKID.replace(b'LABEL="USBSTICK"', b'LABEL="USB STICK"'))
        tools.add("df", DF.replace(b"/media/user/USBSTICK", b"/media/user/USB STICK"))
        records = [("/dev/sdb1", "/media/user/USB STICK", "1A2B-3C4D"),
                   ("/dev/sdc1", "/media/user/Backup", "A5E6-F789")]
    result = run_command(command, tools, *mode)
    assert (result.returncode, result.stderr) == (0, b"")
    if mode:
        assert json.loads(result.stdout) == [
            {"drive": drive, "path": path, "vsn": vsn} for drive, path, vsn in records]
    else:
        assert result.stdout.decode().splitlines() == [
            f"Drive: {drive}, Path: {path}, VSN: {vsn}" for drive, path, vsn in records]


@pytest.mark.parametrize("mode, stdout", [([], b""), (["--json"], b"[]\n")])
def test_no_drive_leaves_stdout_as_it_was_and_says_why_on_stderr(command, tools, mode,
                                                                  stdout):
    if os.name == "nt":
        tools.add("fsutil", b"Drives:\r\n")
    else:
        tools.add("blkid")
        tools.add("df", DF)
    result = run_command(command, tools, *mode)
    assert (result.returncode, result.stdout.replace(b"\r\n", b"\n")) == (0, stdout)
    assert result.stderr.startswith(b"vsnRtrv: no drive found: ")
    assert result.stderr.count(b"\n") == 1


@pytest.mark.parametrize(
    "platform, euid, hint",
    [
        ("linux", 1000, "blkid lists every device only for root; try: sudo vsnRtrv"),
        ("linux", 0, '"sda", identifiers of 17 characters or more and unmounted devices'
                     " are left out (see vsnRtrv --help)"),
        ("linux", None, "(see vsnRtrv --help)"),  # a system without user ids
        ("win32", None, "fsutil fsinfo drives listed none"),
    ],
)
def test_no_drive_hint_fits_the_machine(monkeypatch, fake_run, capsys, platform, euid, hint):
    monkeypatch.setattr(vsnRtrv, "platform", platform)
    fake_run(lambda cmd: b"")
    if euid is None:
        monkeypatch.delattr(os, "geteuid", raising=False)
    else:
        monkeypatch.setattr(os, "geteuid", lambda: euid, raising=False)
    assert _vsnRtrv_cli.main([]) == 0
    out, err = capsys.readouterr()
    assert out == "" and err.endswith(hint + "\n") and err.count("\n") == 1


@linux_chain
# Only a non-empty value other than 0 asks for the traceback.
@pytest.mark.parametrize("show", [None, "VSN_TRACEBACK=0", "--traceback", "VSN_TRACEBACK=1"])
def test_missing_blkid_is_one_line_naming_it(command, tools, show):
    tools.add("df", DF)
    args = ["--traceback"] if show == "--traceback" else []
    env = [show.split("=")] if show and "=" in show else []
    result = run_command(command, tools, *args, env=env)
    assert (result.returncode, result.stdout) == (1, b"")
    lines = result.stderr.decode().splitlines()
    assert lines[-1] == (f"vsnRtrv: cannot run blkid: {os.strerror(errno.ENOENT)}"
                         " (blkid comes with util-linux)")
    if show in (None, "VSN_TRACEBACK=0"):
        assert len(lines) == 1
        return
    err = result.stderr.decode()
    order = [err.index(s) for s in ('File "vsnRtrv", line 258, in vsnRtrv._main',
                                    'File "vsnRtrv", line 96, in vsnRtrv.rtrvDriveInfo',
                                    'File "vsnRtrv", line 111, in vsnRtrv.rtrvDrivesInfoLinux',
                                    "vsnRtrv._runCmdList", "FileNotFoundError")]
    assert order == sorted(order)


@pytest.mark.parametrize("filename", ["kept", "dropped"])
def test_tool_that_cannot_start_is_named_from_the_error_or_its_command(
        monkeypatch, tmp_path, linux, capsys, filename):
    # Windows names no file in the error; the command that subprocess was given tells.
    def run(*args, **kwargs):
        try:
            return subprocess.run(*args, **kwargs)
        except OSError as error:
            if filename == "dropped":
                error.filename = None
            raise

    monkeypatch.setenv("PATH", str(tmp_path))
    monkeypatch.setattr(vsnRtrv, "run", run)
    assert _vsnRtrv_cli.main(["--json"]) == 1
    out, err = capsys.readouterr()
    assert out == "" and err.startswith("vsnRtrv: cannot run blkid: ")
    assert err.count("\n") == 1


@pytest.mark.parametrize("error", [OSError("no file, no command"), RuntimeError("a fault")])
def test_other_failures_keep_their_traceback(linux, monkeypatch, entries, error):
    def run(*args, **kwargs):
        raise error

    monkeypatch.setattr(vsnRtrv, "run", run)
    with pytest.raises(type(error)) as info:
        _vsnRtrv_cli.main([])
    assert info.value is error
    assert entries(info.value)[0] == ("vsnRtrv._main", 258)


# Quietly, unless the traceback is asked for: then it is shown before the same status.
@posix_only
@pytest.mark.parametrize("show", [None, "--traceback", "VSN_TRACEBACK=1"])
def test_ctrl_c_while_a_tool_runs_ends_with_130(command, tools, show):
    tools.add("blkid", hold=True)
    tools.add("df", DF)
    args = ["--traceback"] if show == "--traceback" else []
    env = [show.split("=")] if show and "=" in show else []
    # Ctrl-C signals the terminal's whole process group, the tool included. Sent to the
    # command alone, it can land while subprocess is still waiting for the tool's exec to
    # be confirmed, and Popen then gives up the tool without stopping it, which would
    # hold the pipes read here open for its minute of sleep. A shell that runs the suite
    # in the background leaves Ctrl-C ignored, which its children inherit: the command
    # gets the default, as from a terminal.
    with subprocess.Popen([command, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          stdin=subprocess.DEVNULL, env=tool_environment(tools, env),
                          start_new_session=True,
                          preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL)) as child:
        deadline = time.monotonic() + 30
        while not tools.started("blkid").exists():
            assert child.poll() is None and time.monotonic() < deadline
            time.sleep(0.01)
        os.killpg(child.pid, signal.SIGINT)
        out, err = child.communicate(timeout=30)
    assert (child.returncode, out) == (130, b"")
    if show is None:
        assert err == b""
        return
    lines = err.decode().splitlines()
    assert (lines[0], lines[-1]) == ("Traceback (most recent call last):", "KeyboardInterrupt")
    assert '  File "vsnRtrv", line 258, in vsnRtrv._main' in lines


@pytest.mark.parametrize("mode", [[], ["--json"]])
def test_unsupported_platform_fails(monkeypatch, capsys, mode):
    monkeypatch.setattr(vsnRtrv, "platform", "darwin")
    assert _vsnRtrv_cli.main(mode) == 1
    text = "Error: Unsupported platform."
    # The text mode keeps the line that _main prints; the status tells it from a drive.
    expected = ("", f"vsnRtrv: {text}\n") if mode else (f"{text}\n", "")
    assert capsys.readouterr() == expected


@pytest.mark.parametrize("value", [float("nan"), float("inf"), object()])
def test_record_json_cannot_hold_is_one_line(monkeypatch, capsys, value):
    record = vsnRtrv.DriveInfo("/dev/sdb1", "1A2B-3C4D", "/mnt")
    record.setVSN(value)
    monkeypatch.setattr(vsnRtrv, "rtrvDriveInfo", lambda tag: [record])
    monkeypatch.setattr(vsnRtrv, "platform", "linux")
    assert _vsnRtrv_cli.main(["--json"]) == 1
    out, err = capsys.readouterr()
    assert out == "" and err.startswith("vsnRtrv: a drive record does not fit JSON: ")
    assert err.count("\n") == 1


@pytest.mark.parametrize("args", [["-V"], ["--version"]])
def test_version(command, tools, args):
    result = run_command(command, tools, *args)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode().splitlines() == [f"vsnRtrv {metadata.version('vsnRtrv')}"]


def test_help_explains_what_is_left_out(command, tools):
    result = run_command(command, tools, "--help")
    assert (result.returncode, result.stderr) == (0, b"")
    text = " ".join(result.stdout.decode().split())
    assert text.startswith(usage_start())
    for needed in ("--json", "root", "sudo vsnRtrv", '"sda"', "17 characters or more",
                   "unmounted devices", "blkid", "df -h", "fsutil fsinfo drives", "vol",
                   "exit status", "130", "VSN_TRACEBACK"):
        assert needed in text


@pytest.mark.parametrize("wrong", ["--bogus", "extra", "--js", "--vers"])
def test_usage_errors(command, tools, wrong):
    result = run_command(command, tools, wrong)
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr.decode().startswith(usage_start())


@pytest.mark.skipif(os.name == "nt", reason="thousands of drives are faked through the "
                    "Linux chain's stand-ins only")
@pytest.mark.parametrize("mode", [[], ["--json"]])
def test_reader_that_stops_early_ends_it_quietly(command, tools, mode):
    many_drives(tools, 5000)  # far more than a pipe holds
    with subprocess.Popen([command, *mode], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          stdin=subprocess.DEVNULL, env=tool_environment(tools)) as child:
        assert child.stdout.read(1)
        child.stdout.close()
        assert child.stderr.read() == b""
    assert child.returncode == 1


@posix_only
@pytest.mark.parametrize("mode, output, blkid", [
    (mode, output, BLKID) for mode in ([], ["--json"])
    for output in ("closed", "/dev/full", "ascii")
    if not (mode and output == "ascii")  # JSON escapes what is not ASCII
] + [
    # No drive: "[]" fits the buffer and fails only when flushed, which the note that
    # nothing was listed must not precede.
    (["--json"], "/dev/full", b""),
])
def test_output_that_cannot_be_written_is_an_error(command, tools, mode, output, blkid):
    tools.add("blkid", blkid)
    tools.add("df", DF.replace(b"USBSTICK", b"Cl\xc3\xa9"))
    if output == "closed":
        result = subprocess.run(["/bin/sh", "-c", 'exec "$0" "$@" >&-', command, *mode],
                                stderr=subprocess.PIPE, env={"PATH": str(tools.path)})
        problem = "standard output is closed\n"
    elif output == "ascii":
        result = run_command(command, tools, *mode, env={"LC_ALL": "C", "PYTHONUTF8": "0"})
        assert result.stdout == b""
        # The first line, printed as the command prints it, to a stream of that locale.
        ascii_stream = io.TextIOWrapper(io.BytesIO(), encoding="ascii")
        problem = message_of(lambda: print("Drive: /dev/sdb1, Path: /media/user/Cl\xe9, "
                                         "VSN: 1A2B-3C4D", file=ascii_stream))
    else:
        if not os.path.exists(output):
            pytest.skip(f"this system has no {output}")
        with open(output, "wb") as full:
            result = run_command(command, tools, *mode, stdout=full)
            problem = message_of(lambda: os.write(full.fileno(), b"x")) + "\n"
    assert result.returncode == 1
    err = result.stderr.decode()
    assert err.startswith(f"vsnRtrv: cannot write output: {problem}")
    assert err.count("\n") == 1


class NoFileStream:
    """A sys.stdout that is not a file: no fileno, and writes that fail."""

    def __init__(self, error):
        self.error = error

    def write(self, text):
        raise self.error


def closed_stream():
    stream = io.StringIO()
    stream.close()
    return stream


@pytest.mark.parametrize("mode", [[], ["--json"], ["--version"], ["--help"]])
@pytest.mark.parametrize(
    "stream, problem",
    [
        (lambda: NoFileStream(OSError(errno.EIO, "Input/output error")),
         str(OSError(errno.EIO, "Input/output error"))),
        (lambda: NoFileStream(BrokenPipeError(errno.EPIPE, "Broken pipe")), None),
        (closed_stream, message_of(lambda: closed_stream().write("x"))),
        (lambda: None, "standard output is closed"),
    ],
    ids=["io-error", "broken-pipe", "closed", "none"],
)
def test_in_process_output_errors_are_one_line(linux, monkeypatch, capsys, mode, stream,
                                               problem):
    linux()
    monkeypatch.setattr(sys, "stdout", stream())
    assert _vsnRtrv_cli.main(mode) == 1
    err = capsys.readouterr().err
    if problem is None:
        assert err == ""
    else:
        assert err == f"vsnRtrv: cannot write output: {problem}\n"
