"""The command runner: the exact call of run, and real child processes."""

import os
import subprocess

import pytest

import vsnRtrv


def test_run_gets_one_positional_then_stdout_and_shell(fake_run):
    recorder = fake_run(lambda cmd: b"  hi \n")
    cmd = ["tool", "arg"]
    assert vsnRtrv._runCmdList(cmd) == "hi"
    assert vsnRtrv._runCmdList(cmd, True) == "hi"
    (args1, kw1), (args2, kw2) = recorder.calls
    assert args1 == (cmd,) and args1[0] is cmd
    assert list(kw1) == ["stdout", "shell"]
    assert kw1["stdout"] is subprocess.PIPE and kw1["shell"] is False
    assert kw2["shell"] is True


def test_rebound_pipe_and_clean_are_used(monkeypatch, fake_run):
    recorder = fake_run(lambda cmd: b"raw")
    monkeypatch.setattr(vsnRtrv, "PIPE", "sentinel")
    monkeypatch.setattr(vsnRtrv, "_cleanStdout", lambda b: ("cleaned", b))
    assert vsnRtrv._runCmdList(["x"]) == ("cleaned", b"raw")
    assert recorder.calls[0][1]["stdout"] == "sentinel"


@pytest.mark.parametrize(
    "raw, text",
    [
        (b"", ""),
        (b"\r\n  text with  inner  spaces \r\n\r\n", "text with  inner  spaces"),
        (b"a\r\nb\r\n", "a\r\nb"),
        (b"\x1c\x1d\t\x0b\x0c x \x1e\x1f", "x"),
        (b"caf\xc3\xa9", "caf\u00e9"),
        (b"\xe9t\xe9", "\udce9t\udce9"),
        ("\u3000\x85\U0001F4BE\u2028x\x00\xa0\u2029".encode(), "\U0001F4BE\u2028x\x00"),
    ],
)
def test_clean_stdout(output, raw, text):
    for given in output.raws(raw):
        cleaned = vsnRtrv._cleanStdout(given)
        assert type(cleaned) is str and cleaned == text
        # Undecodable bytes come back as they were.
        assert cleaned.encode("utf-8", "surrogateescape") in raw


@pytest.mark.parametrize("stdout, text, status", [
    (b"", "", 0),
    (b"\r\n  Drives: C:\\ D:\\ \r\n\r\n", "Drives: C:\\ D:\\", 0),
    (b"Volume in drive C is Donn\xe9es\r\nVolume Serial Number is 1A2B-3C4D\r\n",
     "Volume in drive C is Donn\udce9es\r\nVolume Serial Number is 1A2B-3C4D", 0),
    # A status is no failure, and what the tool says on stderr goes where it would.
    (b"partial text\n", "partial text", 3),
])
def test_real_child_output_cleaned(tools, capfd, stdout, text, status):
    tools.add("tool", stdout, status=status, stderr=b"complaint\n")
    assert vsnRtrv._runCmdList(["tool"]) == text
    assert "complaint" in capfd.readouterr().err


def test_shell_flag_runs_through_the_shell(tools):
    tools.add("word", b"one\n")
    line = "word & echo two" if os.name == "nt" else "word; /bin/echo two"
    assert vsnRtrv._runCmdList(line, True).splitlines() == ["one", "two"]


def test_failure_in_clean_is_reported_at_its_line(monkeypatch, fake_run, entries):
    fake_run(lambda cmd: "not bytes")
    with pytest.raises(AttributeError) as info:
        vsnRtrv._runCmdList(["x"])
    assert entries(info.value) == [("vsnRtrv._runCmdList", 89), ("vsnRtrv._cleanStdout", 84)]
