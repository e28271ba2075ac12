"""Calling forms: the module's own binding messages, and the interpreter's."""

import gc

import pytest

import vsnRtrv
from samples import deepest_c_recursion, message_of


@pytest.fixture
def recorder(fake_run):
    return fake_run(lambda cmd: b"out")


class OddHash(str):
    """A keyword equal in text to a parameter, but not found when the name is looked up."""

    def __hash__(self):
        return 1


class LooksLikeSysType:
    """Found by the lookup of sys_type, so never examined again as a leftover."""

    def __hash__(self):
        return hash("sys_type")

    def __eq__(self, other):
        return other == "sys_type"


def usb():
    return vsnRtrv.DriveInfo("/dev/sdb1", "1A2B-3C4D", "/media/usb")


def refusal(builtin, name, *args, **kwargs):
    """What the interpreter says to a wrong call of one of its own functions, said of the
    module's function of the same calling form."""
    message = message_of(lambda: builtin(*args, **kwargs))
    prefix = builtin.__name__ + "()"
    assert message.startswith(prefix), message
    return f"vsnRtrv.{name}()" + message[len(prefix):]


# The line of the entry the module adds, or None where the interpreter refuses the call
# before the module's code starts, which adds no entry.
@pytest.mark.parametrize("call, message, line", [
    (lambda m: m._runCmdList(), "_runCmdList() takes at least 1 positional argument (0 given)",
     87),
    (lambda m: m._runCmdList(isShellCmd=True),
     "_runCmdList() takes at least 1 positional argument (0 given)", 87),
    (lambda m: m._runCmdList(["a"], True, 3),
     "_runCmdList() takes at most 2 positional arguments (3 given)", 87),
    (lambda m: m._runCmdList(["a"], cmd_list=["b"]),
     "_runCmdList() got multiple values for keyword argument 'cmd_list'", 87),
    (lambda m: m._runCmdList(["a"], shell=True),
     "_runCmdList() got an unexpected keyword argument 'shell'", 87),
    (lambda m: m._runCmdList(["a"], **{1: 2}), "_runCmdList() keywords must be strings", 87),
    (lambda m: m.rtrvDriveInfo("lin", "win"),
     "rtrvDriveInfo() takes at most 1 positional argument (2 given)", 94),
    (lambda m: m.rtrvDriveVSNPairs(sys_typ="lin"),
     "rtrvDriveVSNPairs() got an unexpected keyword argument 'sys_typ'", 226),
    # The first offending keyword decides.
    (lambda m: m._runCmdList(["a"], zz=1, cmd_list=2),
     "_runCmdList() got an unexpected keyword argument 'zz'", 87),
    (lambda m: m._runCmdList(["a"], cmd_list=2, zz=1),
     "_runCmdList() got multiple values for keyword argument 'cmd_list'", 87),
    (lambda m: m._runCmdList(["a"], **{OddHash("isShellCmd"): True}),
     "_runCmdList() got an unexpected keyword argument 'isShellCmd'", 87),
    (lambda m: m.rtrvDriveInfo(**{OddHash("sys_type"): "lin"}),
     "rtrvDriveInfo() got an unexpected keyword argument 'sys_type'", 94),
    (lambda m: m.rtrvDriveInfo(**{LooksLikeSysType(): "zz", "foo": 1}),
     "rtrvDriveInfo() got an unexpected keyword argument 'foo'", 94),
    (lambda m: m.DriveInfo("a", "b"),
     "__init__() takes exactly 4 positional arguments (3 given)", 16),
    (lambda m: m.DriveInfo(drive="a", vsn="b"),
     "__init__() takes exactly 4 positional arguments (3 given)", 16),
    (lambda m: m.DriveInfo("a", "b", "c", drive="d"),
     "__init__() got multiple values for keyword argument 'drive'", 16),
    # One argument too many, on the constructor's own path and on the interpreter's.
    (lambda m: m.DriveInfo("a", "b", "c", "d"),
     "__init__() takes exactly 4 positional arguments (5 given)", 16),
    (lambda m: type.__call__(m.DriveInfo, "a", "b", "c", "d"),
     "__init__() takes exactly 4 positional arguments (5 given)", 16),
    (lambda m: usb().setVSN(), "setVSN() takes exactly 2 positional arguments (1 given)", 47),
    # One too many: without keywords, a call the all-positional shortcut must leave to
    # the full binding, and with one.
    (lambda m: usb().setVSN(1, 2), "setVSN() takes exactly 2 positional arguments (3 given)", 47),
    (lambda m: usb().setVSN(1, 2, vsn=3),
     "setVSN() takes exactly 2 positional arguments (3 given)", 47),
    (lambda m: usb().setVSN("x", vsn="y"),
     "setVSN() got multiple values for keyword argument 'vsn'", 47),
    # The first offending keyword decides on the record methods' own path too.
    (lambda m: usb().setVSN("x", zz=1, vsn="y"),
     "setVSN() got an unexpected keyword argument 'zz'", 47),
    (lambda m: usb().setVSN("x", vsn="y", zz=1),
     "setVSN() got multiple values for keyword argument 'vsn'", 47),
    (lambda m: usb().setPath("x", pth="y"),
     "setPath() got an unexpected keyword argument 'pth'", 41),
    (lambda m: m.DriveInfo.setDrive(),
     "setDrive() takes exactly 2 positional arguments (0 given)", 35),
    (lambda m: usb().getDrive(1), "getDrive() takes exactly one argument (2 given)", None),
    (lambda m: usb().getDrive(x=1), "getDrive() takes no keyword arguments", None),
    (lambda m: m.DriveInfo.getDrive(), "getDrive() takes exactly one argument (0 given)", None),
    (lambda m: m.DriveInfo.updateVSN(1, 2),
     "updateVSN() takes exactly one argument (2 given)", None),
    # The interpreter's own refusals, as it words them for its own functions of the same
    # form: globals takes no argument, abs exactly one.
    (lambda m: m.getPlatform(1), refusal(globals, "getPlatform", 1), None),
    (lambda m: m.getPlatform(x=1), refusal(globals, "getPlatform", x=1), None),
    (lambda m: m._cleanStdout(), refusal(abs, "_cleanStdout"), None),
    (lambda m: m._cleanStdout(b"", b""), refusal(abs, "_cleanStdout", 1, 2), None),
    (lambda m: m._cleanStdout(b"", x=1), refusal(abs, "_cleanStdout", 1, x=1), None),
    (lambda m: m._cleanStdout(byte_string=b""), refusal(abs, "_cleanStdout", x=1), None),
    (lambda m: m._main(None), refusal(globals, "_main", None), None),
])
def test_binding_messages_and_entries(recorder, entries, call, message, line):
    with pytest.raises(TypeError) as info:
        call(vsnRtrv)
    assert str(info.value) == message
    name = message.split("(")[0]
    owner = "DriveInfo." if name in vars(vsnRtrv.DriveInfo) else ""
    assert entries(info.value) == ([] if line is None else [(f"vsnRtrv.{owner}{name}", line)])
    assert recorder.calls == []


def test_keywords_accepted(recorder):
    class Name(str):
        pass

    assert vsnRtrv._runCmdList(cmd_list=["a"], isShellCmd=True) == "out"
    assert vsnRtrv._runCmdList(["b"], isShellCmd=False) == "out"
    assert vsnRtrv._runCmdList(["c"], **{}) == "out"
    assert vsnRtrv._runCmdList(**{Name("cmd_list"): ["a"]}) == "out"
    assert [kw["shell"] for _, kw in recorder.calls] == [True, False, False, False]


def test_lookup_at_use_raises_name_error_when_run_is_gone(monkeypatch, entries):
    monkeypatch.delattr(vsnRtrv, "run")
    with pytest.raises(NameError) as info:
        vsnRtrv._runCmdList(["echo", "x"])
    assert str(info.value) == "name 'run' is not defined"
    assert entries(info.value) == [("vsnRtrv._runCmdList", 88)]


def test_lookup_falls_back_to_builtins(monkeypatch):
    import builtins

    monkeypatch.delattr(vsnRtrv, "_cleanStdout")
    monkeypatch.setattr(builtins, "_cleanStdout", lambda b: "from builtins", raising=False)
    monkeypatch.setattr(vsnRtrv, "run", lambda *a, **k: type("P", (), {"stdout": b""})())
    assert vsnRtrv._runCmdList(["x"]) == "from builtins"


def test_mapping_emptied_while_binding_keeps_the_bound_values_alive(recorder):
    class Tracked(list):
        pass

    class Emptier(str):
        # Collides with the next parameter looked up and, when compared, empties every
        # mapping that holds the first keyword: the value already bound must survive.
        def __hash__(self):
            return hash("isShellCmd")

        def __eq__(self, other):
            for holder in gc.get_referrers(self):
                if type(holder) is dict and "cmd_list" in holder:
                    holder.clear()
            return False

    with pytest.raises(TypeError, match="unexpected keyword argument 'zz'"):
        vsnRtrv._runCmdList(**{"cmd_list": Tracked(["a"]), Emptier("zz"): 1})
    assert recorder.calls == []


class Refusing(vsnRtrv.DriveInfo):
    def __getattr__(self, name):
        raise AttributeError(name)


# A record method that failed without giving back what it counted towards the recursion
# limit would end the run some modules later, in whatever test then ran out, with none
# naming the fault: this module runs first.
@pytest.mark.parametrize("failing", [
    lambda: Refusing.__new__(Refusing).getVSN(),  # a getter, guarded
    lambda: vsnRtrv.DriveInfo.getPath(object()),  # a getter on a plain instance
    lambda: Refusing.__new__(Refusing).printinfo(),
    lambda: vsnRtrv.DriveInfo("a", "b", "c").setVSN(vsn=1, v=2),  # refused while binding
    lambda: vsnRtrv.DriveInfo("a", "b"),
], ids=["getter", "plain getter", "method", "binding", "constructor"])
def test_failing_record_calls_give_back_their_recursion_count(failing):
    before = deepest_c_recursion()
    for _ in range(1000):
        with pytest.raises((AttributeError, TypeError)):
            failing()
    assert deepest_c_recursion() == before
