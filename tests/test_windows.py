"""Windows retrieval, driven through a rebound run with recorded fsutil and vol output;
on Windows, with the real vol and a stand-in fsutil as well."""

import os
import subprocess
import threading

import pytest

import vsnRtrv
from samples import Record, message_of, process_variable, vol_serial, windows_only

FSUTIL = ("fsutil", "fsinfo", "drives")
VOL_C = b" Volume in drive C is System\r\n Volume Serial Number is 5E0B-A7C2\r\n"
VOL_D = b" Volume in drive D has no label.\r\n Volume Serial Number is 0C1F-77B0\r\n"
# French console, code page 850: the label line holds 0x8A and 0x82.
VOL_FR = (b" Le volume dans le lecteur C s'appelle Syst\x8ame\r\n"
          b" Le num\x82ro de s\x82rie du volume est 5E0B-A7C2\r\n")


def machine(fsutil=b"Drives: C:\\ D:\\ \r\n", **vols):
    """Answers for run: fsutil's text, and vol's text for each drive (C and D by default)."""
    vols = vols or {"C:": VOL_C, "D:": VOL_D}
    answers = {FSUTIL: fsutil}
    answers.update({("vol", drive): out for drive, out in vols.items()})
    return answers


@pytest.mark.parametrize("text, drives", [
    ("Drives: C:\\ D:\\ E:\\", ["C:", "D:", "E:"]),
    ("Drives:   C:\\    D:\\", ["C:", "D:"]),
    ("Drives:\tC:\\\t\tD:\\", ["C:", "D:"]),
    ("Drives: C:\\\r\nD:\\", ["C:", "D:"]),
    ("Drives: C:\\", ["C:"]),
    ("Drives:", []),
    ("", []),
    ("Laufwerke gefunden: C:\\", ["gefunden", "C:"]),
    ("Drives: x", [""]),
    ("Drives: C:\\D:\\", ["C:\\D:"]),
    ("Drives: d:\\ c:\\ d:\\", ["d:", "c:", "d:"]),
    (b"Drives: C:\\ D:\\", [b"C:", b"D:"]),
    # Every whitespace that str.split knows separates; other control characters do not.
    ("Drives:\u3000C:\\\x1c\x1dD:\\\x1e\x1f\x85E:\\\u2028\xa0F:\\", ["C:", "D:", "E:", "F:"]),
    ("Drives: C:\x00\\ \x1bD:\x7f \U0001F4BE\\ \u0126\\", ["C:\x00", "\x1bD:", "\U0001F4BE", "\u0126"]),
])
def test_drives_from_text(output, text, drives):
    assert vsnRtrv.rtrvDrivesFromStrWindows(output.text(text)) == drives


@pytest.mark.parametrize("text, vsn", [
    (VOL_C.decode().strip(), "5E0B-A7C2"),
    (VOL_D.decode().strip(), "0C1F-77B0"),
    ("Volume Serial Number is 5e0b-a7c2", "5e0b-a7c2"),
    ("5E0B-A7C2", "5E0B-A7C2"),
    ("The device is not ready.", "ready."),
    (VOL_C, b"5E0B-A7C2"),
    (vsnRtrv._cleanStdout(VOL_FR), "5E0B-A7C2"),
    (VOL_C.decode() + " \t\u3000\x85\x1f", "5E0B-A7C2"),
    ("Num\u00e9ro\u2028\U0001F4BE-A7C2\xa0", "\U0001F4BE-A7C2"),
    ("Serial\x1c5E0B\x00A7C2\x1b", "5E0B\x00A7C2\x1b"),
])
def test_vsn_from_text(output, text, vsn):
    assert vsnRtrv.rtrvVSNFromStrWindows(output.text(text)) == vsn


class Splits:
    def __init__(self, tokens):
        self.tokens = tokens

    def split(self):
        return self.tokens


# Where the interpreter refuses, its words are those of the same operation in Python.
@pytest.mark.parametrize("func, arg, error, message, line", [
    ("rtrvDrivesFromStrWindows", None, AttributeError, message_of(lambda: None.split), 194),
    ("rtrvDrivesFromStrWindows", Splits(object()), TypeError,
     message_of(lambda: len(object())), 196),
    ("rtrvDrivesFromStrWindows", Splits(["Drives:", 5]), TypeError,
     "'int' object is unsliceable", 197),
    ("rtrvVSNFromStrWindows", None, AttributeError, message_of(lambda: None.split), 203),
    ("rtrvVSNFromStrWindows", "", IndexError, None, 204),
    ("rtrvDriveListVSNsWindows", 5, TypeError, message_of(lambda: iter(5)), 178),
])
def test_parser_failures(entries, output, func, arg, error, message, line):
    with pytest.raises(error) as caught:
        getattr(vsnRtrv, func)(output.text(arg))
    assert message is None or str(caught.value) == message
    assert entries(caught.value) == [("vsnRtrv." + func, line)]


@pytest.mark.parametrize("fsutil, pairs", [
    (b"Drives: C:\\ D:\\ \r\n", [["C:", "5E0B-A7C2"], ["D:", "0C1F-77B0"]]),
    (b"Drives:\r\n", []),
])
def test_chain_commands_and_shell_flags(fake_run, fsutil, pairs):
    run = fake_run(machine(fsutil))
    assert vsnRtrv.rtrvDriveVSNPairsWindows() == pairs
    assert [(args, kwargs) for args, kwargs in run.calls] == [
        ((list(FSUTIL),), {"stdout": subprocess.PIPE, "shell": False})] + [
        ((["vol", drive],), {"stdout": subprocess.PIPE, "shell": True}) for drive, _ in pairs]


@pytest.mark.parametrize("drives, count", [
    (["C:", "D:", "E:"], 3), (("C:", "D:", "E:"), 3), ((d for d in ["C:", "D:", "E:"]), 3), ([], 0),
])
def test_vsns_over_any_iterable(fake_run, drives, count):
    run = fake_run(machine(**{"C:": VOL_C, "D:": VOL_D, "E:": b"Serial is 1111-2222"}))
    vsns = vsnRtrv.rtrvDriveListVSNsWindows(drives)
    assert vsns == ["5E0B-A7C2", "0C1F-77B0", "1111-2222"][:count]
    assert run.commands == [["vol", "C:"], ["vol", "D:"], ["vol", "E:"]][:count]


@pytest.mark.parametrize("change, expected", [
    (lambda drives: drives.append("Z:"), ["C:", "D:", "Z:"]),
    (lambda drives: drives.pop(), ["C:"]),
])
def test_vsns_see_the_list_change_while_walked(monkeypatch, change, expected):
    drives = ["C:", "D:"]

    def vsn(drive):
        if drive == "C:":
            change(drives)
        return drive
    monkeypatch.setattr(vsnRtrv, "rtrvDriveVSNWindows", vsn)
    assert vsnRtrv.rtrvDriveListVSNsWindows(drives) == expected


@pytest.mark.parametrize("char", list("&|<>^\"%!()\r\n\0"))
@pytest.mark.parametrize("name", ["C:", b"C:", "C:\u0126", "\U0001F626:"])
def test_drives_the_shell_would_act_on_are_refused(fake_run, entries, char, name):
    run = fake_run(machine())
    drive = name + (char + " del x").encode() if type(name) is bytes else name + char + " del x"
    with pytest.raises(ValueError) as caught:
        vsnRtrv.rtrvDriveListVSNsWindows(["C:", drive])
    assert repr(drive) in str(caught.value)
    assert run.commands == [["vol", "C:"]]
    assert entries(caught.value) == [
        ("vsnRtrv.rtrvDriveListVSNsWindows", 179), ("vsnRtrv.rtrvDriveVSNWindows", 186)]


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def test_path_like_drive_is_judged_by_its_path(fake_run):
    # subprocess writes a path-like argument into the command line as its path.
    run = fake_run(lambda cmd: b"Serial 1234-ABCD")
    with pytest.raises(ValueError):
        vsnRtrv.rtrvDriveVSNWindows(PathLike("C:&calc"))
    assert run.calls == []


# Characters beyond ASCII are harmless, whatever their low byte (U+0126 ends in the
# byte of &, U+017C in that of |, U+010A in that of a line feed).
@pytest.mark.parametrize("drive", ["c:", "", "C: D:", b"C:", 5, ["C:"], "C:\u0126\u017c\u010a\u0100",
                                   "\U0001F626:", "\xe9:", PathLike("C:")])
def test_other_drives_go_into_the_command_unchanged(fake_run, drive):
    run = fake_run(lambda cmd: b"Serial 1234-ABCD")
    assert vsnRtrv.rtrvDriveVSNWindows(drive) == "1234-ABCD"
    assert run.calls[0][0][0][1] is drive


def test_pairs_hold_the_very_objects(monkeypatch, entries):
    drives, vsns = ["C:", "D:"], ["5E0B-A7C2", "0C1F-77B0", "extra"]
    monkeypatch.setattr(vsnRtrv, "rtrvDriveListWindows", lambda: drives)
    monkeypatch.setattr(vsnRtrv, "rtrvDriveListVSNsWindows", lambda d: vsns)
    pairs = vsnRtrv.rtrvDriveVSNPairsWindows()
    assert [type(p) for p in pairs] == [list, list]
    assert all(p[0] is d and p[1] is v for p, d, v in zip(pairs, drives, vsns))
    del vsns[1:]
    with pytest.raises(IndexError) as caught:
        vsnRtrv.rtrvDriveVSNPairsWindows()
    assert entries(caught.value) == [("vsnRtrv.rtrvDriveVSNPairsWindows", 161)]


@pytest.mark.parametrize("answers, error, chain", [
    (machine(FileNotFoundError(2, "fsutil")), FileNotFoundError,
     [("vsnRtrv.rtrvDriveVSNPairsWindows", 156), ("vsnRtrv.rtrvDriveListWindows", 168),
      ("vsnRtrv._runCmdList", 88)]),
    (machine(b"Drives: C:\\ D:\\ E:\\", **{"C:": VOL_C, "D:": b" \r\n"}), IndexError,
     [("vsnRtrv.rtrvDriveVSNPairsWindows", 157), ("vsnRtrv.rtrvDriveListVSNsWindows", 179),
      ("vsnRtrv.rtrvDriveVSNWindows", 188), ("vsnRtrv.rtrvVSNFromStrWindows", 204)]),
])
def test_chain_failures(fake_run, output, entries, answers, error, chain):
    run = fake_run(answers)
    with pytest.raises(error) as caught:
        vsnRtrv.rtrvDriveVSNPairsWindows()
    assert entries(caught.value) == chain
    assert ["vol", "E:"] not in run.commands


@pytest.mark.parametrize("info_list", [
    [["C:", "5E0B-A7C2"], ("D:", "0C1F-77B0", "ignored")],
    iter([["C:", "5E0B-A7C2"], ("D:", "0C1F-77B0", "ignored")]),
])
def test_records_take_drive_and_path_from_element_0(monkeypatch, info_list):
    monkeypatch.setattr(vsnRtrv, "DriveInfo", Record)
    records = vsnRtrv._convDrivesInfoListToClassWindows(info_list)
    assert [r.args for r in records] == [
        ("C:", "5E0B-A7C2", "C:"), ("D:", "0C1F-77B0", "D:")]


def test_no_entries_never_look_up_drive_info(monkeypatch):
    monkeypatch.delattr(vsnRtrv, "DriveInfo")
    assert vsnRtrv._convDrivesInfoListToClassWindows([]) == []


def refuse(*args):
    raise RuntimeError("refused")


@pytest.mark.parametrize("info_list, driveinfo, error, line", [
    ([["C:"]], Record, IndexError, 220),
    (5, Record, TypeError, 219),
    ([["C:", "5E0B-A7C2"]], refuse, RuntimeError, 220),
])
def test_record_failures(monkeypatch, entries, info_list, driveinfo, error, line):
    monkeypatch.setattr(vsnRtrv, "DriveInfo", driveinfo)
    with pytest.raises(error) as caught:
        vsnRtrv._convDrivesInfoListToClassWindows(info_list)
    assert entries(caught.value) == [("vsnRtrv._convDrivesInfoListToClassWindows", line)]


@pytest.mark.skipif(os.name == "nt", reason="cmd's own vol answers before any stand-in: "
                    "test_real_vol_and_a_stand_in_fsutil is the Windows case")
def test_real_processes_through_the_shell(tools, output):
    tools.add("fsutil", b"Drives: C:\\ D:\\\r\n")
    tools.add("vol", VOL_C)
    assert vsnRtrv.rtrvDriveVSNPairs() == [["C:", "5E0B-A7C2"], ["D:", "5E0B-A7C2"]]


@pytest.mark.skipif(os.name == "nt", reason="Windows has fsutil in its system folder")
def test_missing_fsutil_ends_the_default_dispatch(tools, entries):
    with pytest.raises(FileNotFoundError) as caught:
        vsnRtrv.rtrvDriveVSNPairs()
    assert entries(caught.value) == [
        ("vsnRtrv.rtrvDriveVSNPairs", 230), ("vsnRtrv.rtrvDriveVSNPairsWindows", 156),
        ("vsnRtrv.rtrvDriveListWindows", 168), ("vsnRtrv._runCmdList", 88)]


@windows_only
def test_real_vol_and_a_stand_in_fsutil(tools):
    serial = vol_serial("C:")
    assert vsnRtrv.rtrvDriveVSNWindows("C:") == serial
    tools.add("fsutil", b"Drives: C:\\\r\n")
    assert [record.printinfo() for record in vsnRtrv.rtrvDriveInfo(vsnRtrv.getPlatform())] == [
        f"Drive: C:, Path: C:, VSN: {serial}"]


NO_CURRENT_FOLDER = "NoDefaultCurrentDirectoryInExePath"


@windows_only
def test_fsutil_in_the_current_folder_is_not_run(tools, tmp_path, monkeypatch):
    # Without the variable, Windows looks in the current folder before its own: a planted
    # fsutil there would answer (and could do anything else as the user).
    work = tmp_path / "work"
    work.mkdir()
    tools.add("fsutil", b"Drives: Q:\\\r\n", folder=work)
    monkeypatch.chdir(work)
    environ = dict(os.environ)
    assert process_variable(NO_CURRENT_FOLDER) is None
    assert "Q:" not in vsnRtrv.rtrvDriveListWindows()
    assert process_variable(NO_CURRENT_FOLDER) is None
    assert dict(os.environ) == environ


@windows_only
@pytest.mark.parametrize("preset", [None, "0"])
def test_the_variable_is_set_for_fsutil_only_and_put_back(fake_run, entries, monkeypatch,
                                                          preset):
    if preset is not None:
        monkeypatch.setenv(NO_CURRENT_FOLDER, preset)
    seen = []
    recorder = fake_run(lambda cmd: seen.append(process_variable(NO_CURRENT_FOLDER))
                        or b"Drives: C:\\\r\n")
    assert vsnRtrv.rtrvDriveListWindows() == ["C:"]
    # A variable the user set is theirs, whatever its value; run is called as ever.
    assert seen == ["1" if preset is None else preset]
    assert recorder.calls == [((["fsutil", "fsinfo", "drives"],),
                               {"stdout": subprocess.PIPE, "shell": False})]
    assert process_variable(NO_CURRENT_FOLDER) == preset
    fake_run({FSUTIL: OSError("cannot start")})
    with pytest.raises(OSError) as caught:
        vsnRtrv.rtrvDriveListWindows()
    assert entries(caught.value) == [("vsnRtrv.rtrvDriveListWindows", 168),
                                     ("vsnRtrv._runCmdList", 88)]
    assert process_variable(NO_CURRENT_FOLDER) == preset


@windows_only
def test_overlapping_calls_keep_the_variable_until_the_last_ends(fake_run):
    # run releases the GIL while a child starts: every thread is inside it at once here.
    count = 4
    inside = threading.Barrier(count)
    seen = []

    def answer(cmd):
        inside.wait(timeout=30)
        seen.append(process_variable(NO_CURRENT_FOLDER))
        inside.wait(timeout=30)
        return b"Drives: C:\\\r\n"

    fake_run(answer)
    threads = [threading.Thread(target=vsnRtrv.rtrvDriveListWindows) for _ in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert seen == ["1"] * count
    assert process_variable(NO_CURRENT_FOLDER) is None
