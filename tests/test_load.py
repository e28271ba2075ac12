"""Loading the module: what the namespace holds, once per process, failures at load."""

import builtins
import ctypes
import importlib
import os
import subprocess
import sys
import textwrap

import pytest

import vsnRtrv
from samples import BLKID, DF, vol_serial

FUNCTIONS = [
    "getPlatform", "_cleanStdout", "_runCmdList", "rtrvDriveInfo", "rtrvDrivesInfoLinux",
    "addDrivesPathsLinux", "rtrvDriveVSNPairsWindows", "rtrvDriveListWindows",
    "rtrvDriveListVSNsWindows", "rtrvDriveVSNWindows", "rtrvDrivesFromStrWindows",
    "rtrvVSNFromStrWindows", "_convDrivesInfoListToClassLinux",
    "_convDrivesInfoListToClassWindows", "rtrvDriveVSNPairs", "rtrvDriveVSNPairsLinux", "_main",
]


def run_python(code, **kwargs):
    """A fresh interpreter, for what can happen only once per process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        **kwargs,
    )


def test_namespace_holds_every_name_in_binding_order_and_import_prints_nothing():
    # A fresh interpreter: other tests delete and restore names, which moves them.
    result = run_python("import vsnRtrv; print(*vars(vsnRtrv))")
    assert (result.returncode, result.stderr, result.stdout.count("\n")) == (0, "", 1)
    names = [n for n in result.stdout.split() if n not in (
        "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__")]
    assert names == ["__builtins__", "run", "PIPE", "platform", "DriveInfo", *FUNCTIONS,
                     "__test__"]


def test_plain_import_state(monkeypatch):
    assert (vsnRtrv.__name__, vsnRtrv.__doc__, vsnRtrv.__test__) == ("vsnRtrv", None, {})
    assert vsnRtrv.__builtins__ is builtins and vsnRtrv.__file__ == vsnRtrv.__spec__.origin
    assert vsnRtrv.run is subprocess.run and vsnRtrv.PIPE is subprocess.PIPE
    assert vsnRtrv.platform == sys.platform
    # The value taken at load, whatever sys says later.
    monkeypatch.setattr(sys, "platform", "win32" if sys.platform != "win32" else "linux")
    assert vsnRtrv.platform != sys.platform


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_look_like_builtin_functions(name):
    function = getattr(vsnRtrv, name)
    assert (function.__name__, function.__qualname__, function.__module__, function.__doc__,
            function.__self__) == (name, name, "vsnRtrv", None, None)


def test_import_again_gives_the_same_module_with_rebindings_kept(monkeypatch):
    monkeypatch.setattr(vsnRtrv, "platform", "darwin")
    assert importlib.import_module("vsnRtrv") is vsnRtrv
    monkeypatch.delitem(sys.modules, "vsnRtrv")
    again = importlib.import_module("vsnRtrv")
    assert again is vsnRtrv
    assert again.platform == "darwin"
    assert again.getPlatform() == "Error: Unsupported platform."


def test_loading_in_a_second_interpreter_is_refused(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    out = tmp_path / "result"
    code = textwrap.dedent(f"""
        try:
            import vsnRtrv
        except ImportError as e:
            result = "ImportError: " + str(e)
        else:
            result = "loaded"
        with open({str(out)!r}, "w") as f:
            f.write(result)
    """)
    testcapi.run_in_subinterp(code)
    assert out.read_text() == (
        "ImportError: Interpreter change detected - this module can only be loaded "
        "into one interpreter per process."
    )
    # The first interpreter keeps its module.
    assert vsnRtrv._cleanStdout(b" ok ") == "ok"


def test_exec_step_refuses_a_foreign_module_object():
    library = ctypes.PyDLL(vsnRtrv.__file__)
    init = library.PyInit_vsnRtrv
    init.restype = ctypes.c_void_p
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
    exec_def.restype = ctypes.c_int
    foreign = type(vsnRtrv)("vsnRtrv")
    with pytest.raises(RuntimeError) as info:
        exec_def(foreign, init())
    assert str(info.value) == (
        "Module 'vsnRtrv' has already been imported. Re-initialisation is not supported."
    )
    assert "run" not in vars(foreign)


@pytest.mark.parametrize("name, error, lines", [
    ("subprocess.run", "ImportError", ["cannot import name run", "[('init vsnRtrv', 4)]"]),
    ("builtins.print", "NameError", ["name 'print' is not defined", "[('init vsnRtrv', 1)]"]),
])
def test_failed_load_reports_its_stage_and_can_be_retried(name, error, lines):
    result = run_python(f"""
        import builtins, subprocess, sys, traceback
        saved = {name}
        del {name}
        try:
            import vsnRtrv
        except {error} as e:
            entries = [(f.name, f.lineno) for f in traceback.extract_tb(e.__traceback__)
                       if f.filename.startswith("vsnRtrv")]
            sys.stdout.write(f"{{e}}\\n{{entries}}\\n")
        sys.stdout.write(f"{{'vsnRtrv' in sys.modules}}\\n")
        {name} = saved
        import vsnRtrv
        print(vsnRtrv.run is subprocess.run, list(vars(vsnRtrv))[-1])
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [*lines, "False", "True __test__"]


# What `python -m` cannot do for an extension (the name picks the init function): the
# definition is loaded under the name "__main__", as an embedding program would.
LOAD_AS_MAIN = """
    import ctypes, importlib.machinery, importlib.util, sys, traceback
    origin = importlib.util.find_spec("vsnRtrv").origin
    init = ctypes.PyDLL(origin).PyInit_vsnRtrv
    init.restype = ctypes.c_void_p
    from_def = ctypes.pythonapi.PyModule_FromDefAndSpec2
    from_def.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
    from_def.restype = ctypes.py_object
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
    exec_def.restype = ctypes.c_int
    definition = init()
    module = from_def(definition, importlib.machinery.ModuleSpec("__main__", None), 1013)
    try:
        exec_def(module, definition)
    except FileNotFoundError as e:
        print([(f.name, f.lineno) for f in traceback.extract_tb(e.__traceback__)
               if f.filename.startswith("vsnRtrv")])
    print(module.__name__, sys.modules["vsnRtrv"] is module, "run" in vars(module))
"""


def test_loaded_as_the_main_program_it_prints_the_drives(tools):
    if os.name == "nt":
        tools.add("fsutil", b"Drives: C:\\\r\n")
        drives = [f"Drive: C:, Path: C:, VSN: {vol_serial('C:')}"]
    else:
        tools.add("blkid", BLKID)
        tools.add("df", DF)
        drives = ["Drive: /dev/sdb1, Path: /media/user/USBSTICK, VSN: 1A2B-3C4D",
                  "Drive: /dev/sdc1, Path: /media/user/Backup, VSN: A5E6-F789"]
    result = run_python(LOAD_AS_MAIN)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == drives + ["__main__ True True"]


@pytest.mark.skipif(os.name == "nt", reason="Windows has fsutil in its system folder, so no "
                    "tool of the Windows chain can be missing")
def test_loaded_as_the_main_program_a_failing_chain_fails_the_load(tools):
    tools.add("df", DF)
    result = run_python(LOAD_AS_MAIN)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "[('init vsnRtrv', 263), ('vsnRtrv._main', 258), ('vsnRtrv.rtrvDriveInfo', 96), "
        "('vsnRtrv.rtrvDrivesInfoLinux', 111), ('vsnRtrv._runCmdList', 88)]",
        "__main__ True True",
    ]
