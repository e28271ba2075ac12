"""Shared fixtures: stand-ins for the operating-system tools.

Two ways, as the module allows: rebinding ``vsnRtrv.run`` to a recorder (no process at
all), or small executable scripts on PATH (real child processes through subprocess).
Neither ever looks at this machine's own disks.
"""

import os
import subprocess
import traceback

import pytest

import vsnRtrv


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
            raise answer
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


@pytest.fixture
def tools(tmp_path, monkeypatch):
    """tools.add("blkid", b"...", status=0) puts an executable script on PATH.

    PATH holds only the scripts' folder, so a tool that was not added is missing, as on
    a machine without it, and no real tool of this machine can answer instead.
    """

    if os.name == "nt":
        pytest.skip("the stand-in tools are POSIX shell scripts")
    bindir = tmp_path / "bin"
    bindir.mkdir()

    class Tools:
        path = bindir

        @staticmethod
        def add(name, stdout=b"", status=0, stderr=b""):
            out = tmp_path / f"{name}.stdout"
            out.write_bytes(stdout)
            err = tmp_path / f"{name}.stderr"
            err.write_bytes(stderr)
            script = bindir / name
            script.write_text(
                "#!/bin/sh\n"
                f"/bin/cat '{out}'\n"
                f"/bin/cat '{err}' >&2\n"
                f"exit {status}\n"
            )
            script.chmod(0o755)
            return script

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


class ToolOutput:
    """How tool output reaches a parser: exactly str or bytes, which is read in place, or
    in a type that offers the same methods and must give the same results through them.

    On the general path the text of every command the chains run (a rebound run's
    included) comes back as a str subclass.
    """

    def __init__(self, general, monkeypatch):
        self.general = general
        if general:
            run_cmd = vsnRtrv._runCmdList
            monkeypatch.setattr(vsnRtrv, "_runCmdList", lambda *args: Text(run_cmd(*args)))

    def text(self, value):
        return Text(value) if self.general and type(value) is str else value

    def raws(self, value):
        return [bytearray(value), Decodes(value), Bytes(value)] if self.general else [value]


@pytest.fixture(params=[False, True], ids=["in place", "general"])
def output(request, monkeypatch):
    return ToolOutput(request.param, monkeypatch)
