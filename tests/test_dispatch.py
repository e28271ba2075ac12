"""Platform detection, the two dispatchers and _main."""

import builtins

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


def test_get_platform_failure_has_its_entry(monkeypatch, entries):
    monkeypatch.setattr(vsnRtrv, "platform", None)
    with pytest.raises(TypeError) as info:
        vsnRtrv.getPlatform()
    assert entries(info.value) == [("vsnRtrv.getPlatform", 73)]


class Chains:
    """Rebinds every chain function to a recorder that returns a marker object."""

    names = [
        "rtrvDrivesInfoLinux",
        "_convDrivesInfoListToClassLinux",
        "rtrvDriveVSNPairsWindows",
        "_convDrivesInfoListToClassWindows",
        "rtrvDriveVSNPairsLinux",
    ]

    def __init__(self, monkeypatch):
        self.calls = []
        self.results = {}
        for name in self.names:
            result = object()
            self.results[name] = result
            monkeypatch.setattr(vsnRtrv, name, self._recorder(name, result))

    def _recorder(self, name, result):
        def record(*args):
            self.calls.append((name, args))
            return result

        return record


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


@pytest.mark.parametrize(
    "name, call, expected",
    [
        ("rtrvDrivesInfoLinux", lambda: vsnRtrv.rtrvDriveInfo("lin"),
         [("vsnRtrv.rtrvDriveInfo", 96)]),
        ("_convDrivesInfoListToClassLinux", lambda: vsnRtrv.rtrvDriveInfo("lin"),
         [("vsnRtrv.rtrvDriveInfo", 97)]),
        ("rtrvDriveVSNPairsWindows", lambda: vsnRtrv.rtrvDriveInfo(),
         [("vsnRtrv.rtrvDriveInfo", 99)]),
        ("_convDrivesInfoListToClassWindows", lambda: vsnRtrv.rtrvDriveInfo("win"),
         [("vsnRtrv.rtrvDriveInfo", 100)]),
        ("rtrvDriveVSNPairsLinux", lambda: vsnRtrv.rtrvDriveVSNPairs("lin"),
         [("vsnRtrv.rtrvDriveVSNPairs", 228)]),
        ("rtrvDriveVSNPairsWindows", lambda: vsnRtrv.rtrvDriveVSNPairs(),
         [("vsnRtrv.rtrvDriveVSNPairs", 230)]),
    ],
)
def test_chain_failures_pass_through_unchanged(chains, monkeypatch, entries, name, call,
                                               expected):
    monkeypatch.setattr(vsnRtrv, name, failing)
    with pytest.raises(OSError, match="^tool failed$") as info:
        call()
    assert entries(info.value) == expected


def test_tag_comparison_failure_is_reported(entries):
    class Bad:
        def __eq__(self, other):
            raise ValueError("no comparing")

    with pytest.raises(ValueError) as info:
        vsnRtrv.rtrvDriveInfo(Bad())
    assert entries(info.value) == [("vsnRtrv.rtrvDriveInfo", 95)]
    with pytest.raises(ValueError) as info:
        vsnRtrv.rtrvDriveVSNPairs(Bad())
    assert entries(info.value) == [("vsnRtrv.rtrvDriveVSNPairs", 227)]


class Record:
    def __init__(self, text):
        self.text = text

    def printinfo(self):
        return self.text


def test_main_prints_one_line_per_record(monkeypatch, capsys):
    seen = []

    def dispatch(tag):
        seen.append(tag)
        return [Record("one"), Record("two"), Record("three")]

    monkeypatch.setattr(vsnRtrv, "platform", "linux")
    monkeypatch.setattr(vsnRtrv, "rtrvDriveInfo", dispatch)
    assert vsnRtrv._main() is None
    assert capsys.readouterr().out == "one\ntwo\nthree\n"
    assert seen == ["lin"]


class Text(str):
    pass


@pytest.mark.parametrize("name, value, out", [
    ("rtrvDriveInfo", lambda tag: [], ""),
    ("platform", "darwin", UNSUPPORTED + "\n"),
    ("rtrvDriveInfo", lambda tag: Text(UNSUPPORTED), UNSUPPORTED + "\n"),
])
def test_main_with_no_drive(monkeypatch, capsys, name, value, out):
    # No drive prints nothing; an unsupported platform says so once, in whatever str.
    monkeypatch.setattr(vsnRtrv, name, value)
    assert vsnRtrv._main() is None
    assert capsys.readouterr().out == out


def test_main_uses_the_print_taken_at_load(monkeypatch, capsys):
    monkeypatch.setattr(builtins, "print", failing)
    monkeypatch.setattr(vsnRtrv, "print", failing, raising=False)
    monkeypatch.setattr(vsnRtrv, "rtrvDriveInfo", lambda tag: [Record("kept")])
    vsnRtrv._main()
    assert capsys.readouterr().out == "kept\n"


def test_main_failures_and_lines_printed_before(monkeypatch, capsys, entries):
    class Broken:
        def printinfo(self):
            raise KeyError("broken record")

    monkeypatch.setattr(vsnRtrv, "rtrvDriveInfo", lambda tag: [Record("first"), Broken()])
    with pytest.raises(KeyError) as info:
        vsnRtrv._main()
    assert entries(info.value) == [("vsnRtrv._main", 260)]
    assert capsys.readouterr().out == "first\n"

    monkeypatch.setattr(vsnRtrv, "rtrvDriveInfo", lambda tag: 42)
    with pytest.raises(TypeError) as info:
        vsnRtrv._main()
    assert entries(info.value) == [("vsnRtrv._main", 259)]

    monkeypatch.setattr(vsnRtrv, "rtrvDriveInfo", failing)
    with pytest.raises(OSError) as info:
        vsnRtrv._main()
    assert entries(info.value) == [("vsnRtrv._main", 258)]
