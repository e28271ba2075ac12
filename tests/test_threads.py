"""Threads that share the module's lists, names, class and records.

Each workload runs in a child interpreter, so that a crash fails its row rather than the
suite. On a free-threaded build with the GIL off they run truly at once; elsewhere the
GIL interleaves them. Every outcome must be one that the same statements in plain
Python could give.
"""

import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import subprocess, sys, threading
import vsnRtrv

THREADS, ROUNDS = 4, 200
stop = threading.Event()
failures = []

def together(worker, changer):
    # Workers run ROUNDS rounds each, once changer runs, which goes on until they are done.
    changing = threading.Event()
    def guarded(body):
        def run():
            try:
                body()
            except BaseException as e:
                failures.append(repr(e))
                changing.set()
        return run
    def changes():
        changing.set()
        changer()
    def works():
        changing.wait()
        worker()
    workers = [threading.Thread(target=guarded(works)) for _ in range(THREADS)]
    other = threading.Thread(target=guarded(changes))
    other.start()
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    stop.set()
    other.join()
    print(failures[:3] or "ok")

OUTPUTS = {
    ("blkid",): b'/dev/sdb1: UUID="1A2B-3C4D" TYPE="vfat"\\n',
    ("df", "-h"): b"Filesystem Size Used Avail Use% Mounted on\\n"
                  b"/dev/sdb1 7.5G 1.2G 6.3G 16% /media/stick\\n",
    ("fsutil", "fsinfo", "drives"): b"Drives: C:\\\\\\r\\n",
    ("vol", "C:"): b" Volume Serial Number is 5E0B-A7C2\\r\\n",
}
LINES = {
    "lin": ["Drive: /dev/sdb1, Path: /media/stick, VSN: 1A2B-3C4D"],
    "win": ["Drive: C:, Path: C:, VSN: 5E0B-A7C2"],
}

def runner():
    # A new function object each time, so that the one it replaces can be freed.
    def run(cmd, stdout=None, shell=False):
        return subprocess.CompletedProcess(cmd, 0, stdout=OUTPUTS[tuple(cmd)])
    return run
"""

WORKLOADS = {
    # Entries emptied and refilled, and their items replaced, while they are converted.
    "convert": """
        ROUNDS = 5000  # a shrink must land inside a walk, between its length and its item
        serials = ["1A2B-3C4D", "0C1F-77B0"]
        fill = lambda: [["/dev/sdb1", serials[i % 2], "/media/stick"] for i in range(32)]
        entries = fill()

        def worker():
            for _ in range(ROUNDS):
                for records in (vsnRtrv._convDrivesInfoListToClassLinux(entries),
                                vsnRtrv._convDrivesInfoListToClassWindows(entries)):
                    for r in records:
                        assert r.getVSN() in serials and r.getDrive() == "/dev/sdb1"
                        assert r.getPath() in ("/media/stick", "/dev/sdb1"), r.getPath()

        def changer():
            while not stop.is_set():
                batch = fill()
                entries[len(entries) // 2][1] = "".join(serials[len(entries) % 2])
                entries.clear()
                entries.extend(batch)

        together(worker, changer)
    """,
    # Both platform chains while run and DriveInfo are rebound to new objects.
    "rebind": """
        vsnRtrv.run = runner()
        plain = vsnRtrv.DriveInfo

        def worker():
            for _ in range(ROUNDS):
                for tag in ("lin", "win"):
                    lines = [r.printinfo() for r in vsnRtrv.rtrvDriveInfo(tag)]
                    assert lines == LINES[tag], lines

        def changer():
            while not stop.is_set():
                vsnRtrv.run = runner()
                vsnRtrv.DriveInfo = type("DriveInfo", (plain,), {})
                vsnRtrv.DriveInfo = plain

        together(worker, changer)
    """,
    # Records made while the class, and a subclass's __init__, change underneath.
    "construct": """
        Info = vsnRtrv.DriveInfo
        class Sub(Info):
            pass

        def worker():
            for i in range(ROUNDS):
                for cls in (Info, Sub):
                    r = cls("/dev/sdb1", "1A2B-3C4D", "/media/stick")
                    assert vars(r) == {"_drive": "/dev/sdb1", "_path": "/media/stick",
                                       "_vsn": "1A2B-3C4D"}, vars(r)

        def changer():
            i = 0
            while not stop.is_set():
                i += 1
                Info.extra = i
                # A new function each time, so that the one replaced can be freed.
                Sub.__init__ = lambda self, d, v, p: Info.__init__(self, d, v, p)
                del Info.extra

        together(worker, changer)
    """,
    # One set of records, written and read by every thread at once.
    "share": """
        shared = [vsnRtrv.DriveInfo("/dev/sdb1", "1A2B-3C4D", "/media/stick") for _ in range(4)]
        drives, paths, serials = ["/dev/sdb1", "/dev/sdc1"], ["/a", "/b"], ["1A2B", "3C4D"]
        fresh = lambda values, i: "".join(list(values[i % 2]))  # a new str every time
        lines = {f"Drive: {d}, Path: {p}, VSN: {v}" for d in drives + ["/dev/sdb1"]
                 for p in paths + ["/media/stick"] for v in serials + ["1A2B-3C4D"]}

        def worker():
            for i in range(ROUNDS):
                for r in shared:
                    r.setDrive(fresh(drives, i))
                    r.setPath(fresh(paths, i))
                    r.setVSN(fresh(serials, i))
                    assert r.getDrive() in drives and r.getPath() in paths
                    assert r.getVSN() in serials and str(r) in drives
                    assert r.printinfo() in lines

        def changer():
            while not stop.is_set():
                for r in shared:
                    r.printinfo()
                    vars(r).get("_path")

        together(worker, changer)
    """,
}


@pytest.mark.parametrize("workload", WORKLOADS)
def test_threads_give_what_plain_python_could(workload):
    code = PRELUDE + textwrap.dedent(WORKLOADS[workload])
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=600)
    assert (result.returncode, result.stdout, result.stderr) == (0, "ok\n", "")
