"""Platform detection, the two dispatchers and _main."""

import builtins
import functools

import pytest

import vsnRtrv

UNSUPPORTED = "Error: Unsupported platform."


@pytest.mark.parametrize(
    "platform, tag",
    [
        ("linux", "lin"),
        ("linux2", "lin"),
        ("xx-linux-yy", "lin"),
        ("win32", "win"),
        ("Linux", UNSUPPORTED),
        ("WIN32", UNSUPPORTED),
        ("win32-x", UNSUPPORTED),
        ("cygwin", UNSUPPORTED),
        ("darwin", UNSUPPORTED),
        ("", UNSUPPORTED),
    ],
)
def test_get_platform(monkeypatch, platform, tag):
    monkeypatch.setattr(vsnRtrv, "platform", platform)
    assert vsnRtrv.getPlatform() == tag


class Chains:
    """Rebinds every chain function to a recorder that returns a marker object."""

    def __init__(self, monkeypatch):
        self.calls, self.results = [], {}
        for name in ["rtrvDrivesInfoLinux", "_convDrivesInfoListToClassLinux",
                     "rtrvDriveVSNPairsWindows", "_convDrivesInfoListToClassWindows",
                     "rtrvDriveVSNPairsLinux"]:
            self.results[name] = object()
            monkeypatch.setattr(vsnRtrv, name, functools.partial(self.record, name))

    def record(self, name, *args):
        self.calls.append((name, args))
        return self.results[name]


@pytest.fixture
def chains(monkeypatch):
    return Chains(monkeypatch)


@pytest.mark.parametrize("call, chain", [
    (lambda: vsnRtrv.rtrvDriveInfo("lin"), "Linux"),
    (lambda: vsnRtrv.rtrvDriveInfo(sys_type="lin"), "Linux"),
    (lambda: vsnRtrv.rtrvDriveInfo(), "Windows"),
    (lambda: vsnRtrv.rtrvDriveInfo("win"), "Windows"),
    (lambda: vsnRtrv.rtrvDriveInfo(sys_type="win"), "Windows"),
])
def test_drive_info_chains_windows_by_default(chains, call, chain):
    first = "rtrvDrivesInfoLinux" if chain == "Linux" else "rtrvDriveVSNPairsWindows"
    convert = "_convDrivesInfoListToClass" + chain
    assert call() is chains.results[convert]
    assert chains.calls == [(first, ()), (convert, (chains.results[first],))]


@pytest.mark.parametrize("tag", [UNSUPPORTED, "LIN", "Win", " lin", None, b"lin", 0])
def test_drive_info_other_tags_run_nothing(chains, tag):
    assert vsnRtrv.rtrvDriveInfo(tag) == UNSUPPORTED
    assert chains.calls == []


@pytest.mark.parametrize("args, kwargs, chain", [
    (("lin",), {}, "Linux"), ((), {"sys_type": "lin"}, "Linux"), ((), {}, "Windows"),
    *[((tag,), {}, "Windows") for tag in ["win", UNSUPPORTED, "linux", None, 3]],
])
def test_pairs_linux_only_for_lin(chains, args, kwargs, chain):
    name = "rtrvDriveVSNPairs" + chain
    assert vsnRtrv.rtrvDriveVSNPairs(*args, **kwargs) is chains.results[name]
    assert chains.calls == [(name, ())]


def test_rebinding_between_calls_is_seen(chains, monkeypatch):
    vsnRtrv.rtrvDriveVSNPairs("lin")
    monkeypatch.setattr(vsnRtrv, "rtrvDriveVSNPairsLinux", lambda: "rebound")
    assert vsnRtrv.rtrvDriveVSNPairs("lin") == "rebound"


def failing(*args):
    raise OSError("tool failed")


class Bad:
    def __eq__(self, other):
        raise ValueError("no comparing")


class Record:
    def __init__(self, text):
        self.text = text

    def printinfo(self):
        return self.text


class Broken:
    def printinfo(self):
        raise KeyError("broken record")


# A chain's own failure passes through unchanged, with the entry of the statement that
# called it; what _main printed before a failure stays printed.
@pytest.mark.parametrize("name, value, call, error, expected", [
    ("platform", None, vsnRtrv.getPlatform, TypeError, [("vsnRtrv.getPlatform", 73)]),
    ("rtrvDrivesInfoLinux", failing, lambda: vsnRtrv.rtrvDriveInfo("lin"), OSError,
     [("vsnRtrv.rtrvDriveInfo", 96)]),
    ("_convDrivesInfoListToClassLinux", failing, lambda: vsnRtrv.rtrvDriveInfo("lin"), OSError,
     [("vsnRtrv.rtrvDriveInfo", 97)]),
    ("rtrvDriveVSNPairsWindows", failing, lambda: vsnRtrv.rtrvDriveInfo(), OSError,
     [("vsnRtrv.rtrvDriveInfo", 99)]),
    ("_convDrivesInfoListToClassWindows", failing, lambda: vsnRtrv.rtrvDriveInfo("win"), OSError,
     [("vsnRtrv.rtrvDriveInfo", 100)]),
    ("rtrvDriveVSNPairsLinux", failing, lambda: vsnRtrv.rtrvDriveVSNPairs("lin"), OSError,
     [("vsnRtrv.rtrvDriveVSNPairs", 228)]),
    ("rtrvDriveVSNPairsWindows", failing, lambda: vsnRtrv.rtrvDriveVSNPairs(), OSError,
     [("vsnRtrv.rtrvDriveVSNPairs", 230)]),
    (None, None, lambda: vsnRtrv.rtrvDriveInfo(Bad()), ValueError,
     [("vsnRtrv.rtrvDriveInfo", 95)]),
    (None, None, lambda: vsnRtrv.rtrvDriveVSNPairs(Bad()), ValueError,
     [("vsnRtrv.rtrvDriveVSNPairs", 227)]),
    ("rtrvDriveInfo", failing, vsnRtrv._main, OSError, [("vsnRtrv._main", 258)]),
    ("rtrvDriveInfo", lambda tag: 42, vsnRtrv._main, TypeError, [("vsnRtrv._main", 259)]),
    ("rtrvDriveInfo", lambda tag: [Record("first"), Broken()], vsnRtrv._main, KeyError,
     [("vsnRtrv._main", 260)]),
])
def test_failures_are_reported_at_their_statement(chains, monkeypatch, capsys, entries, name,
                                                  value, call, error, expected):
    if name:
        monkeypatch.setattr(vsnRtrv, name, value)
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error and entries(info.value) == expected
    if value is failing:
        assert str(info.value) == "tool failed"
    assert capsys.readouterr().out == ("first\n" if error is KeyError else "")


class Text(str):
    pass


@pytest.mark.parametrize("settings, out", [
    ({"platform": "linux",
      "rtrvDriveInfo": lambda tag: [Record("one"), Record(tag), Record("three")]},
     "one\nlin\nthree\n"),
    # No drive prints nothing; an unsupported platform says so once, in whatever str.
    ({"rtrvDriveInfo": lambda tag: []}, ""),
    ({"platform": "darwin"}, UNSUPPORTED + "\n"),
    ({"rtrvDriveInfo": lambda tag: Text(UNSUPPORTED)}, UNSUPPORTED + "\n"),
])
def test_main_prints_one_line_per_record(monkeypatch, capsys, settings, out):
    for name, value in settings.items():
        monkeypatch.setattr(vsnRtrv, name, value)
    assert vsnRtrv._main() is None
    assert capsys.readouterr().out == out


def test_main_uses_the_print_taken_at_load(monkeypatch, capsys):
    monkeypatch.setattr(builtins, "print", failing)
    monkeypatch.setattr(vsnRtrv, "print", failing, raising=False)
    monkeypatch.setattr(vsnRtrv, "rtrvDriveInfo", lambda tag: [Record("kept")])
    vsnRtrv._main()
    assert capsys.readouterr().out == "kept\n"
