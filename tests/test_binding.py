"""Calling forms: the module's own binding messages, and the interpreter's."""

import gc

import pytest

import vsnRtrv
from samples import deepest_c_recursion


@pytest.fixture
def recorder(fake_run):
    return fake_run(lambda cmd: b"out")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m: m._runCmdList(), "_runCmdList() takes at least 1 positional argument (0 given)"),
        (lambda m: m._runCmdList(isShellCmd=True),
         "_runCmdList() takes at least 1 positional argument (0 given)"),
        (lambda m: m._runCmdList(["a"], True, 3),
         "_runCmdList() takes at most 2 positional arguments (3 given)"),
        (lambda m: m._runCmdList(["a"], cmd_list=["b"]),
         "_runCmdList() got multiple values for keyword argument 'cmd_list'"),
        (lambda m: m._runCmdList(["a"], shell=True),
         "_runCmdList() got an unexpected keyword argument 'shell'"),
        (lambda m: m._runCmdList(["a"], **{1: 2}), "_runCmdList() keywords must be strings"),
        (lambda m: m.rtrvDriveInfo("lin", "win"),
         "rtrvDriveInfo() takes at most 1 positional argument (2 given)"),
        (lambda m: m.rtrvDriveVSNPairs(sys_typ="lin"),
         "rtrvDriveVSNPairs() got an unexpected keyword argument 'sys_typ'"),
    ],
)
def test_keyword_capable_binding_messages(recorder, entries, call, message):
    with pytest.raises(TypeError) as info:
        call(vsnRtrv)
    assert str(info.value) == message
    name = message.split("(")[0]
    line = {"_runCmdList": 87, "rtrvDriveInfo": 94, "rtrvDriveVSNPairs": 226}[name]
    assert entries(info.value) == [("vsnRtrv." + name, line)]
    assert recorder.calls == []


def test_first_offending_keyword_decides(recorder):
    with pytest.raises(TypeError, match="unexpected keyword argument 'zz'"):
        vsnRtrv._runCmdList(["a"], zz=1, cmd_list=2)
    with pytest.raises(TypeError, match="multiple values for keyword argument 'cmd_list'"):
        vsnRtrv._runCmdList(["a"], cmd_list=2, zz=1)


def test_keywords_accepted(recorder):
    assert vsnRtrv._runCmdList(cmd_list=["a"], isShellCmd=True) == "out"
    assert vsnRtrv._runCmdList(["b"], isShellCmd=False) == "out"
    assert vsnRtrv._runCmdList(["c"], **{}) == "out"
    assert [kw["shell"] for _, kw in recorder.calls] == [True, False, False]


def test_keyword_subclass_of_str_is_accepted(recorder):
    class Name(str):
        pass

    assert vsnRtrv._runCmdList(**{Name("cmd_list"): ["a"]}) == "out"


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.getPlatform(1),
        lambda m: m.getPlatform(x=1),
        lambda m: m._cleanStdout(),
        lambda m: m._cleanStdout(b"", b""),
        lambda m: m._cleanStdout(b"", x=1),
        lambda m: m._cleanStdout(byte_string=b""),
        lambda m: m._main(None),
    ],
)
def test_interpreter_checked_forms_add_no_entry(entries, call):
    with pytest.raises(TypeError) as info:
        call(vsnRtrv)
    assert entries(info.value) == []


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


class OddHash(str):
    """A keyword equal in text to a parameter, but not found when the name is looked up."""

    def __hash__(self):
        return 1


def test_keyword_that_the_lookup_does_not_find_is_unexpected(recorder):
    with pytest.raises(TypeError, match="unexpected keyword argument 'isShellCmd'"):
        vsnRtrv._runCmdList(["a"], **{OddHash("isShellCmd"): True})
    with pytest.raises(TypeError, match="unexpected keyword argument 'sys_type'"):
        vsnRtrv.rtrvDriveInfo(**{OddHash("sys_type"): "lin"})
    assert recorder.calls == []


def test_keyword_taken_by_the_lookup_is_not_examined_again(recorder):
    class LooksLikeSysType:
        def __hash__(self):
            return hash("sys_type")

        def __eq__(self, other):
            return other == "sys_type"

    with pytest.raises(TypeError, match="unexpected keyword argument 'foo'"):
        vsnRtrv.rtrvDriveInfo(**{LooksLikeSysType(): "zz", "foo": 1})


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
