"""The drive record: an ordinary class whose methods are the module's own functions."""

import copy
import gc
import inspect
import json
import operator
import os
import pickle
import pydoc
import subprocess
import sys
import types
import weakref

import pytest

import vsnRtrv
from samples import message_of
from vsnRtrv import DriveInfo

METHODS = [  # name, parameters, definition line
    ("__init__", ["self", "drive", "vsn", "path"], 16),
    ("__str__", ["self"], 23),
    ("printinfo", ["self"], 26),
    ("getDrive", ["self"], 32),
    ("setDrive", ["self", "drive"], 35),
    ("getPath", ["self"], 38),
    ("setPath", ["self", "path"], 41),
    ("getVSN", ["self"], 44),
    ("setVSN", ["self", "vsn"], 47),
    ("updateInfo", ["self"], 53),
    ("updatePath", ["self"], 56),
    ("updateVSN", ["self"], 59),
]


def usb():
    return DriveInfo("/dev/sdb1", "1A2B-3C4D", "/media/usb")


def test_values_text_and_attribute_order():
    d = usb()
    assert (d.getDrive(), d.getVSN(), d.getPath(), str(d)) == (
        "/dev/sdb1", "1A2B-3C4D", "/media/usb", "/dev/sdb1")
    assert d.printinfo() == "Drive: /dev/sdb1, Path: /media/usb, VSN: 1A2B-3C4D"
    assert DriveInfo("C:", "1A2B-3C4D", "C:").printinfo() == "Drive: C:, Path: C:, VSN: 1A2B-3C4D"
    wide = type("Wide", (), {"__format__": lambda self, spec: "\U0001F4BE" + spec})()
    assert DriveInfo("\u0126", wide, "\u00e9").printinfo() == "Drive: {}, Path: {}, VSN: {}".format(
        "\u0126", "\u00e9", wide)
    by_keyword = DriveInfo(path="/media/usb", vsn="1A2B-3C4D", drive="/dev/sdb1")
    assert list(vars(by_keyword).items()) == [
        ("_drive", "/dev/sdb1"), ("_path", "/media/usb"), ("_vsn", "1A2B-3C4D")]


def test_values_are_kept_as_given_whatever_their_type():
    drive, vsn = 42, object()
    d = DriveInfo(drive, vsn, None)
    assert d.getDrive() is drive and d.getVSN() is vsn and d.getPath() is None
    assert d.printinfo() == f"Drive: 42, Path: None, VSN: {vsn}"
    # A plain class of the same name whose __str__ gives the same object: the refusal is
    # the interpreter's own, in its own words.
    plain = type("DriveInfo", (), {"__module__": "vsnRtrv", "__str__": lambda self: drive})
    with pytest.raises(TypeError) as info:
        str(d)
    assert str(info.value) == message_of(lambda: str(plain()))
    for setter, getter in [("setDrive", "getDrive"), ("setPath", "getPath"), ("setVSN", "getVSN")]:
        value = []
        assert getattr(d, setter)(value) is None and getattr(d, getter)() is value
    before = dict(vars(d))
    assert (d.updateInfo(), d.updatePath(), d.updateVSN()) == (None, None, None)
    assert vars(d) == before


def test_calls_through_the_class_take_any_self():
    holder = types.SimpleNamespace(_drive="/dev/sdc1")
    assert DriveInfo.getDrive(holder) is holder._drive and DriveInfo.__str__(holder) == "/dev/sdc1"
    DriveInfo.setVSN(self=holder, vsn="ABCD")
    DriveInfo.__init__(holder, path="/p", vsn="V", drive="D")
    assert DriveInfo.printinfo(holder) == "Drive: D, Path: /p, VSN: V"
    assert holder._vsn == "V" and DriveInfo.getPath(holder, **{}) == "/p"


def without(*names):
    d = usb()
    for name in names:
        delattr(d, name)
    return d


# A record whose value at `at` (drive, identifier, path) refuses to be formatted.
REFUSING = """
from vsnRtrv import DriveInfo

class Refused:
    def __format__(self, spec):
        raise ValueError("no text for this value")

def make(at):
    values = ["/dev/sdb1", "1A2B-3C4D", "/media/usb"]
    values[at] = Refused()
    return DriveInfo(*values)
"""


def refusing(at):
    """REFUSING's record, once printinfo on one has ended in a child: a printinfo that left
    the failed format unchecked would crash, which must fail the row, not end the run."""
    tried = subprocess.run(
        [sys.executable, "-c", REFUSING + f"try:\n    make({at}).printinfo()\n"
                                          "except ValueError:\n    pass\n"],
        capture_output=True, text=True)
    assert tried.returncode == 0, tried.stderr
    namespace = {}
    exec(REFUSING, namespace)
    return namespace["make"](at)


class PathChanger:
    """A drive whose format sets another path on its record."""

    def __init__(self, record):
        self.record = record

    def __format__(self, spec):
        self.record.setPath("/changed")
        return "/dev/sdb1"


def path_changed_by_drive():
    d = usb()
    d.setDrive(PathChanger(d))
    return d


def formatted(record):
    """printinfo in Python: str.format on the three values, read in the order of its text."""
    return "Drive: {}, Path: {}, VSN: {}".format(record._drive, record._path, record._vsn)


def ending(action):
    """What action returns, or the error it fails with."""
    try:
        return action()
    except Exception as error:
        return error


# Each ends as the same in Python, `missing`: the read of that attribute, or that function
# of the instance. printinfo is str.format on the three values: it reports the first one
# missing in the order of its text, passes on a failed format of any of them, and formats
# none before it has read all three. A failure has the entry of the method's statement; a
# row without a line ends with its text.
@pytest.mark.parametrize("holder, name, missing, line", [
    (object, "getDrive", "_drive", 33),
    (object, "getPath", "_path", 39),
    (object, "getVSN", "_vsn", 45),
    (object, "__str__", "_drive", 24),
    (lambda: without("_vsn", "_path"), "printinfo", "_path", 27),
    *[pytest.param(lambda at=at: refusing(at), "printinfo", formatted, 27,
                   id=f"printinfo-{value} refusing its format")
      for at, value in enumerate(["drive", "vsn", "path"])],
    pytest.param(path_changed_by_drive, "printinfo", formatted, None,
                 id="printinfo-path changed while the drive is formatted"),
])
def test_missing_attribute_is_reported_at_the_statement(holder, name, missing, line, entries):
    statement = missing if callable(missing) else operator.attrgetter(missing)
    made, again = holder(), holder()
    ours = ending(lambda: getattr(DriveInfo, name)(made))
    theirs = ending(lambda: statement(again))
    assert (type(ours), str(ours)) == (type(theirs), str(theirs))
    assert line is None or entries(ours) == [(f"vsnRtrv.DriveInfo.{name}", line)]


def test_attribute_access_goes_through_the_object(entries):
    class Half(DriveInfo):
        def __setattr__(self, name, value):
            if name == "_path":
                raise PermissionError(name)
            super().__setattr__(name, value)

        def __getattr__(self, name):
            return name.upper()

    with pytest.raises(PermissionError) as info:
        Half("d", "v", "p")
    assert entries(info.value) == [("vsnRtrv.DriveInfo.__init__", 18)]
    half = Half.__new__(Half)
    with pytest.raises(PermissionError) as info:
        half.setPath("p")
    assert entries(info.value) == [("vsnRtrv.DriveInfo.setPath", 42)]
    with pytest.raises(PermissionError):
        half.__init__("d", "v", "p")
    assert vars(half) == {"_drive": "d"}
    assert half.printinfo() == "Drive: d, Path: _PATH, VSN: _VSN"


def test_an_ordinary_class():
    assert type(DriveInfo) is type and DriveInfo.__bases__ == (object,)
    names = DriveInfo.__name__, DriveInfo.__qualname__, DriveInfo.__module__, DriveInfo.__doc__
    assert names == ("DriveInfo", "DriveInfo", "vsnRtrv", None)
    assert list(vars(DriveInfo))[:13] == ["__module__"] + [m[0] for m in METHODS]
    a, b = usb(), usb()
    assert a != b and a == a and hash(a) == object.__hash__(a)
    assert repr(a).startswith("<vsnRtrv.DriveInfo object at ")
    text = pydoc.render_doc(DriveInfo, renderer=pydoc.plaintext)
    assert "DriveInfo(drive, vsn, path)" in text and "setVSN(self, vsn)" in text
    a.extra = 1
    for twin in (pickle.loads(pickle.dumps(a)), copy.deepcopy(a)):
        assert type(twin) is DriveInfo and twin is not a and vars(twin) == vars(a)
    ref = weakref.ref(a)
    assert ref() is a
    del a
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("name, params, line", METHODS)
def test_method_objects_look_like_functions(name, params, line):
    function = vars(DriveInfo)[name]
    assert getattr(DriveInfo, name) is function
    bound = getattr(usb(), name)
    assert isinstance(bound, types.MethodType) and bound.__func__ is function
    assert (function.__name__, function.__qualname__, function.__module__, function.__doc__) == (
        name, "DriveInfo." + name, "vsnRtrv", None)
    assert function.__globals__ is vars(vsnRtrv)
    code = function.__code__
    assert (code.co_argcount, code.co_varnames, code.co_name, code.co_firstlineno) == (
        len(params), tuple(params), name, line)
    assert code.co_filename.startswith("vsnRtrv")
    assert list(inspect.signature(function).parameters) == params
    assert list(inspect.signature(bound).parameters) == params[1:]
    # A function made from the code object must fail cleanly, never run off its end.
    with pytest.raises(AssertionError):
        types.FunctionType(code, {})(*params)
    assert pickle.loads(pickle.dumps(function)) is function
    assert weakref.WeakMethod(bound)() == bound
    # The collector must see the namespace -> class -> method -> namespace cycle.
    assert gc.is_tracked(function) and vars(vsnRtrv) in gc.get_referents(function)


# Each case changes a class as a program might, then calls it three ways, the last with
# more arguments than the constructor's own path takes. DriveInfo must end each call as
# type.__call__ ends it for a plain class with the same __init__ and the same change. In a
# child: once __new__ has been set on a class, deleting it leaves the class off that path
# for good, and the rest of the run must still see DriveInfo as it was made.
#
# The weighed case also has the Linux conversion make one (it makes whatever the module's
# DriveInfo is), and sizes the dictionary each record shows: on 3.11 and 3.12 an instance
# made without what object.__new__ sets up gets a whole dictionary of its own, several
# times what the values under its class's shared keys take.
CONSTRUCTION = r"""
import json, sys
import vsnRtrv
from vsnRtrv import DriveInfo

Plain = type("DriveInfo", (), {"__init__": vars(DriveInfo)["__init__"]})
seen = []

def new_then_init(cls, *args, **kwargs):
    seen.append([cls.__name__, repr(args), sorted(kwargs)])
    return object.__new__(cls)

ABSTRACT = frozenset({"getDrive"})

# Changed and called until a class has no version left (from 3.13, after 1,000 changes)
# and has been found plain without one; then a change that a version would have told of.
def run_out(cls):
    for _ in range(1100):
        yield "__init__", vars(DriveInfo)["__init__"]
        cls("d", "v", "p")
    yield "__init__", lambda self, *a: setattr(self, "args", a)

CHANGES = {
    "nothing": [],
    "__new__": [("__new__", staticmethod(new_then_init))],
    "__new__ making something else": [
        ("__new__", staticmethod(lambda cls, *a, **k: ("made by __new__", a, k)))],
    "__init__": [("__init__", lambda self, *a, **k: setattr(self, "_drive", (a, k)))],
    "__init__ a record method": [("__init__", vars(DriveInfo)["getDrive"])],
    "abstract": [("__abstractmethods__", ABSTRACT)],
    "abstract, then not": [("__abstractmethods__", ABSTRACT),
                           ("__abstractmethods__", frozenset())],
    "a property for _path": [("_path", property(lambda self: "read",
                                                lambda self, value: seen.append(["_path", value])))],
    "__setattr__": [("__setattr__", lambda self, name, value: object.__setattr__(self, name, [value]))],
    "nothing, the records weighed": [],
    "__init__ once versions have run out": run_out,
}
CALLS = [(("d", "v", "p"), {}), ((), {"path": "p", "vsn": "v", "drive": "d"}),
         (tuple(range(9)), {})]
CONVERSION = (None, {})

def converted(cls):
    vsnRtrv.DriveInfo = cls
    try:
        return vsnRtrv._convDrivesInfoListToClassLinux([["d", "v", "p"]])[0]
    finally:
        vsnRtrv.DriveInfo = DriveInfo

def outcome(cls, args, kwargs, weighed):
    del seen[:]
    try:
        made = converted(cls) if args is None else cls(*args, **kwargs)
    except Exception as e:
        return [type(e).__name__, str(e), seen[:]]
    if isinstance(made, tuple):
        return repr(made)
    weight = [sys.getsizeof(vars(made))] if weighed else []
    return [type(made).__name__, type(made) is cls, repr(vars(made)), seen[:]] + weight

def case(base, change, where):
    sub = type("Sub", (base,), {})
    changed = sub if where == "subclass" else base
    before = dict(vars(changed))
    try:
        changes = CHANGES[change]
        for name, value in changes(changed) if callable(changes) else changes:
            setattr(changed, name, value)
        called = sub if where != "the class" else base
        weighed = change == "nothing, the records weighed"
        return [outcome(called, args, kwargs, weighed)
                for args, kwargs in CALLS + [CONVERSION] * weighed]
    finally:
        for name in ("__new__", "__init__", "__abstractmethods__", "_path", "__setattr__"):
            if name in before:
                setattr(changed, name, before[name])
            elif name in vars(changed):
                delattr(changed, name)

# A __new__ set on DriveInfo itself last: it would keep later cases off the constructor's
# path, those of subclasses made afterwards too. Its versions run out just before: it is
# never kept as plain after that.
def order(change_where):
    change, where = change_where
    if where == "subclass":
        return 0
    if change.startswith("__new__"):
        return 2
    return int(change == "__init__ once versions have run out")

cases = sorted(((change, where) for change in CHANGES
                for where in ("the class", "subclass", "its base")), key=order)
print(json.dumps({f"{change}/{where}": [case(DriveInfo, change, where),
                                         case(Plain, change, where)]
                  for change, where in cases}))
"""


@pytest.fixture(scope="module")
def construction():
    result = subprocess.run([sys.executable, "-c", CONSTRUCTION], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.mark.parametrize("where", ["the class", "subclass", "its base"])
@pytest.mark.parametrize("change", ["nothing", "__new__", "__new__ making something else",
                                    "__init__", "__init__ a record method", "abstract",
                                    "abstract, then not", "a property for _path", "__setattr__",
                                    "nothing, the records weighed",
                                    "__init__ once versions have run out"])
def test_construction_is_what_type_call_does(construction, change, where):
    ours, plain = construction[f"{change}/{where}"]
    assert ours == plain


# A record method reached again through C alone, with no Python frame between: only the
# methods' own count stands between such a cycle and the end of the stack. Each case
# runs in a child, so that a crash fails the case rather than ending the run, and on a
# thread with half the stack that a main thread usually gets, so that a count too small
# for what one level of the cycle costs shows without a sanitizer's larger frames. The
# count must be whole again once the error has unwound the cycle.
CYCLE = r"""
import operator, sys, threading
from vsnRtrv import DriveInfo

sys.path.insert(0, sys.argv[2])
from samples import deepest_c_recursion

exec(sys.argv[1])
caught = []

def run():
    before = deepest_c_recursion()
    try:
        call()
    except RecursionError:
        caught.append("RecursionError")
    caught.append(deepest_c_recursion() == before)

threading.stack_size(4 << 20)
thread = threading.Thread(target=run)
thread.start()
thread.join()
print(*caught)
"""


@pytest.mark.parametrize("cycle", [
    "class C(DriveInfo): _drive = property(DriveInfo.getDrive)\n"
    "call = C.__new__(C).getDrive",
    # The getter finds the class plain first, then the class changes under it.
    "class C(DriveInfo): pass\n"
    "c = C('/dev/sdb1', '1A2B-3C4D', '/media/usb')\n"
    "assert c.getDrive() == c.getDrive() == '/dev/sdb1'\n"
    "C._drive = property(DriveInfo.getDrive)\n"
    "call = c.getDrive",
    "class C(DriveInfo): __getattr__ = property(operator.methodcaller('getVSN'))\n"
    "call = C.__new__(C).getVSN",
    "class C(DriveInfo): __getattribute__ = property(DriveInfo.getPath)\n"
    "call = lambda: DriveInfo.getPath(C.__new__(C))",
    "class C(DriveInfo): _drive = property(operator.methodcaller('printinfo'))\n"
    "call = C.__new__(C).printinfo",
    # The constructor finds the class plain first, then a store on it calls it again.
    "import functools\n"
    "class C(DriveInfo): pass\n"
    "C('/dev/sdb1', '1A2B-3C4D', '/media/usb')\n"
    "C._path = property(None, functools.partial(C, '/dev/sdb1'))\n"
    "call = lambda: C('/dev/sdb1', '1A2B-3C4D', '/media/usb')",
    # The same on DriveInfo itself: from 3.12 a subclass's calls do not take the
    # constructor's own slot, so only it reaches the plain path (with the GIL).
    "import functools\n"
    "DriveInfo('/dev/sdb1', '1A2B-3C4D', '/media/usb')\n"
    "DriveInfo._path = property(None, functools.partial(DriveInfo, '/dev/sdb1'))\n"
    "call = lambda: DriveInfo('/dev/sdb1', '1A2B-3C4D', '/media/usb')",
    # The constructor's own lookup runs Python code that changes the class under it: a
    # key in the class's dictionary whose hash is that of _vsn, compared by its own
    # __eq__. A class made the ordinary way stores _path before it looks for _vsn, so
    # there the cycle begins at the second call.
    "import functools, gc\n"
    "C = DriveInfo\n"
    "armed = [True]\n"
    "class Key(str):\n"
    "    __hash__ = lambda self: hash('_vsn')\n"
    "    def __eq__(self, other):\n"
    "        if armed:\n"
    "            del armed[:]\n"
    "            C._path = property(None, functools.partial(C, '/dev/sdb1'))\n"
    "        return str.__eq__(self, other)\n"
    "gc.get_referents(vars(C))[0][Key('k')] = 1\n"
    "call = lambda: [C('/dev/sdb1', '1A2B-3C4D', '/media/usb') for _ in range(2)]",
], ids=["descriptor", "descriptor added later", "__getattr__", "__getattribute__", "method",
        "constructor", "constructor of DriveInfo itself",
        "constructor, class changed by its own lookup"])
def test_a_cycle_through_c_alone_ends_in_recursion_error(cycle):
    result = subprocess.run([sys.executable, "-c", CYCLE, cycle, os.path.dirname(__file__)],
                            capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (0, "RecursionError True\n"), result.stderr

