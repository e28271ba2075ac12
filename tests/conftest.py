"""Shared fixtures: stand-ins for the operating-system tools.

Two ways, as the module allows: rebinding ``vsnRtrv.run`` to a recorder (no process at
all), or small programs on PATH (real child processes through subprocess): shell scripts
on POSIX, console-script launchers on Windows.
Neither ever looks at this machine's own disks.
"""

import contextlib
import os
import shutil
import subprocess
import sys
import traceback
from pathlib import Path

import pytest

import vsnRtrv


# What rebinds a name of the module for the whole process: every thread sees it, so a test
# through it cannot be run by several threads at once (pytest-run-parallel).
REBINDS = "rebinds a name of vsnRtrv, which every thread shares"


def pytest_configure(config):
    # The mark of pytest-run-parallel, known where that plugin is not installed too.
    config.addinivalue_line("markers", "thread_unsafe: run by one thread only")


def pytest_collection_modifyitems(items):
    for item in items:
        if "output" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.thread_unsafe(reason=REBINDS))


class RunRecorder:
    """Stands in for subprocess.run: records each call, answers with recorded output.

    ``outputs`` maps a command (as a tuple) to the bytes it prints, or to an exception
    instance to raise; a callable ``outputs`` receives the command list instead.
    """

    def __init__(self, outputs):
        self.outputs = outputs
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        cmd = args[0]
        if callable(self.outputs):
            answer = self.outputs(cmd)
        else:
            answer = self.outputs[tuple(cmd)]
        if isinstance(answer, BaseException):
            # Afresh each time: a shared instance would carry an earlier test's entries.
            raise answer.with_traceback(None)
        return subprocess.CompletedProcess(cmd, 0, stdout=answer)

    @property
    def commands(self):
        return [list(args[0]) for args, _ in self.calls]


@pytest.fixture
def fake_run(monkeypatch):
    """fake_run({("blkid",): b"..."}) rebinds vsnRtrv.run for the test and returns it."""

    def install(outputs):
        recorder = RunRecorder(outputs)
        monkeypatch.setattr(vsnRtrv, "run", recorder)
        return recorder

    return install


def program_folder():
    """The folder of the program this process runs, which Windows searches first for a
    program started by its bare name (a venv's python.exe may only start the real one)."""
    import ctypes

    buffer = ctypes.create_unicode_buffer(32768)
    if not ctypes.windll.kernel32.GetModuleFileNameW(None, buffer, len(buffer)):
        raise ctypes.WinError()
    return Path(buffer.value).parent


def windows_launcher_maker(source, target):
    """A maker of console-script launchers, as pip writes them: an .exe that starts this
    interpreter on the Python script packed into it."""
    try:
        from pip._vendor.distlib.scripts import ScriptMaker
    except ImportError:
        try:
            from distlib.scripts import ScriptMaker
        except ImportError:
            pytest.skip("no console-script launcher to make stand-in tools with "
                        "(pip or distlib)")
    maker = ScriptMaker(str(source), str(target), add_launchers=True)
    maker.executable = sys.executable
    maker.variants = {""}
    maker.clobber = True
    return maker


@pytest.fixture
def tools(tmp_path, monkeypatch, request):
    """tools.add("blkid", b"...", status=0) puts a stand-in program on PATH.

    PATH holds only the stand-ins' folder, so a tool that was not added is missing, as on
    a machine without it, and no real tool of this machine can answer instead. On
    Windows a stand-in is a console-script launcher; one for a program that Windows has
    in its system folder (fsutil) goes beside the running program instead, the first
    place Windows searches, and is removed after the test.
    """
    bindir = tmp_path / "bin"
    bindir.mkdir()
    if os.name == "nt":
        maker = windows_launcher_maker(tmp_path, bindir)
        system = Path(os.environ["SystemRoot"]) / "System32"

    class Tools:
        path = bindir

        @staticmethod
        def add(name, stdout=b"", status=0, stderr=b"", folder=None, hold=False):
            """hold: the tool then makes the file ``started(name)`` and sleeps, to be
            interrupted. folder: where it goes instead (a Windows-only choice)."""
            out = tmp_path / f"{name}.stdout"
            out.write_bytes(stdout)
            err = tmp_path / f"{name}.stderr"
            err.write_bytes(stderr)
            if os.name != "nt":
                script = bindir / name
                held = f": > '{Tools.started(name)}'\nexec /bin/sleep 60\n" if hold else ""
                script.write_text(
                    "#!/bin/sh\n"
                    f"/bin/cat '{out}'\n"
                    f"/bin/cat '{err}' >&2\n"
                    f"{held}"
                    f"exit {status}\n"
                )
                script.chmod(0o755)
                return script
            held = (f"open({str(Tools.started(name))!r}, 'w').close()\n"
                    "import time; time.sleep(60)\n") if hold else ""
            source = tmp_path / f"{name}.py"
            source.write_text(
                "#!python\n"
                "import sys\n"
                f"sys.stdout.buffer.write(open({str(out)!r}, 'rb').read())\n"
                "sys.stdout.flush()\n"
                f"sys.stderr.buffer.write(open({str(err)!r}, 'rb').read())\n"
                f"{held}"
                f"sys.exit({status})\n"
            )
            (made,) = maker.make(source.name)
            if folder is not None:
                return Path(shutil.copy(made, folder))
            if not (system / f"{name}.exe").exists():
                return Path(made)
            placed = program_folder() / f"{name}.exe"
            if placed.exists():
                pytest.skip(f"{placed} is there already, and not ours to replace")
            try:
                shutil.copyfile(made, placed)
            except OSError as e:
                pytest.skip(f"no stand-in for {name} can go beside the program: {e}")
            request.addfinalizer(placed.unlink)
            return placed

        @staticmethod
        def started(name):
            return tmp_path / f"{name}.started"

    monkeypatch.setenv("PATH", str(bindir))
    return Tools


def module_entries(exc):
    """(label, line) of the traceback entries that the module added, outermost first."""
    return [
        (frame.name, frame.lineno)
        for frame in traceback.extract_tb(exc.__traceback__)
        if frame.filename.startswith("vsnRtrv")
    ]


@pytest.fixture
def entries():
    return module_entries


class Text(str):
    """A str, but not exactly one: a parser can take it only through its methods."""


class Decodes:
    """Output that is neither bytes nor str, only something with a decode method."""

    def __init__(self, raw):
        self.raw = bytes(raw)

    def decode(self, *args):
        return self.raw.decode(*args)


class Bytes(bytes):
    pass


@contextlib.contextmanager
def through_methods():
    """The text of every command the chains run (a rebound run's included) handed back as
    a str subclass, which the parsers can take only through its methods."""
    run_cmd = vsnRtrv._runCmdList
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(vsnRtrv, "_runCmdList", lambda *args: Text(run_cmd(*args)))
        yield


class ToolOutput:
    """How tool output reaches a parser: exactly str or bytes, which is read in place, or
    in a type that offers the same methods and must give the same results through them."""

    def __init__(self, general):
        self.general = general

    def text(self, value):
        return Text(value) if self.general and type(value) is str else value

    def raws(self, value):
        return [bytearray(value), Decodes(value), Bytes(value)] if self.general else [value]


@pytest.fixture(params=[False, True], ids=["in place", "general"])
def output(request):
    with through_methods() if request.param else contextlib.nullcontext():
        yield ToolOutput(request.param)
