"""The module against the same work written in plain Python (plain.py), in one run.

    python benchmarks/bench.py                 # the timing table and memory
    python benchmarks/bench.py --icount        # also instruction counts, under callgrind

Both sides get the same synthetic tool output through the same stand-in for `run`, and
must give equal results before anything is timed. Rounds are interleaved (module, then
plain, row by row) and the best round counts; the cyclic collector stays on, as in a
program. A row's time is one operation, with the cost of the empty timing loop taken
off. Ratio = plain time / module time: above 1, the module is faster.

Instruction counts (valgrind --tool=callgrind) are robust to the noise of a shared
machine: each is (count with CALLS calls - count with none) / (CALLS * devices).
"""

import gc
import os
import subprocess
import sys
import timeit
import tracemalloc

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import plain  # noqa: E402
import vsnRtrv  # noqa: E402
from bench_linux import blkid_output, df_output  # noqa: E402

ROUNDS = 7
TARGET_SECONDS = 0.05  # per timing


def answers_for(outputs):
    """A stand-in for subprocess.run that hands back recorded output, keyed by the
    command's last word; as cheap as a Python callable can be, so that the module's own
    work is what the rows compare."""
    done = {key: subprocess.CompletedProcess([key], 0, stdout=out) for key, out in outputs.items()}

    def run(cmd, stdout=None, shell=False):
        return done[cmd[-1]]

    return run


def linux_run(devices):
    return answers_for({"blkid": blkid_output(devices), "-h": df_output(devices)})


def windows_run(drives=26):
    letters = [chr(ord("C") + i) if i < 24 else f"{chr(ord('A') + i - 24)}" for i in range(drives)]
    outputs = {"drives": ("Drives: " + " ".join(f"{d}:\\" for d in letters) + " \r\n").encode()}
    for i, d in enumerate(letters):
        outputs[f"{d}:"] = (f" Volume in drive {d} is Disk {i}\r\n"
                            f" Volume Serial Number is {i:04X}-{0xBEEF ^ i:04X}\r\n").encode()
    return answers_for(outputs)


def as_rows(records):
    return [(type(r).__name__, vars(r), r.printinfo(), str(r)) for r in records]


def record_args():
    return "/dev/sdb1", "1A2B-3C4D", "/media/usb"


class Row:
    def __init__(self, title, stmt, setup, target):
        self.title, self.stmt, self.setup = title, stmt, setup
        self.target = target  # the least ratio that the module must reach
        self.best = {}

    def timer(self, side):
        namespace = self.setup(side)
        return timeit.Timer(self.stmt, "gc.enable()", globals=dict(namespace, gc=gc))


def linux_setup(devices):
    def setup(side):
        side.run = linux_run(devices)
        return {"m": side}

    return setup


def conv_setup(entries):
    def setup(side):
        side.run = linux_run(entries)
        return {"m": side, "info": plain.rtrvDrivesInfoLinux() if side is plain else
                vsnRtrv.rtrvDrivesInfoLinux()}

    return setup


def windows_setup(side):
    side.run = windows_run()
    return {"m": side}


def record_setup(side):
    d, v, p = record_args()
    return {"DriveInfo": side.DriveInfo, "d": d, "v": v, "p": p, "record": side.DriveInfo(d, v, p)}


# The targets, on every interpreter, with the GIL or without: the parsers are what the
# module is for and must be well ahead; the conversion and the Windows chain at least
# level; a record, whose every operation is a few stores or reads that the interpreter
# itself makes quick for plain classes, no more than a third slower.
PARSERS, CHAINS, RECORDS = 2.0, 1.0, 0.75
ROWS = [
    Row("rtrvDrivesInfoLinux, 10,000 devices", "m.rtrvDrivesInfoLinux()", linux_setup(10_000),
        PARSERS),
    Row("rtrvDriveVSNPairsLinux, 10,000 devices", "m.rtrvDriveVSNPairsLinux()",
        linux_setup(10_000), PARSERS),
    Row("_convDrivesInfoListToClassLinux, 10,000 entries",
        "m._convDrivesInfoListToClassLinux(info)", conv_setup(10_000), CHAINS),
    Row('rtrvDriveInfo("win"), 26 drives, stand-in run', 'm.rtrvDriveInfo("win")', windows_setup,
        CHAINS),
    Row("DriveInfo(d, v, p)", "DriveInfo(d, v, p)", record_setup, RECORDS),
    Row("record.getDrive()", "record.getDrive()", record_setup, RECORDS),
    Row("record.printinfo()", "record.printinfo()", record_setup, RECORDS),
]


def check_equal():
    """Both sides must give the same results on the same input before they are timed."""
    for side in (vsnRtrv, plain):
        side.run = linux_run(1000)
    assert vsnRtrv.rtrvDrivesInfoLinux() == plain.rtrvDrivesInfoLinux()
    assert vsnRtrv.rtrvDriveVSNPairsLinux() == plain.rtrvDriveVSNPairsLinux()
    info = plain.rtrvDrivesInfoLinux()
    assert as_rows(vsnRtrv._convDrivesInfoListToClassLinux(info)) == as_rows(
        plain._convDrivesInfoListToClassLinux(info))
    assert as_rows(vsnRtrv.rtrvDriveInfo("lin")) == as_rows(plain.rtrvDriveInfo("lin"))
    for side in (vsnRtrv, plain):
        side.run = windows_run()
    win = vsnRtrv.rtrvDriveInfo("win")
    assert len(win) == 26 and as_rows(win) == as_rows(plain.rtrvDriveInfo("win"))
    a, b = vsnRtrv.DriveInfo(*record_args()), plain.DriveInfo(*record_args())
    assert as_rows([a]) == as_rows([b]) and a.getDrive() == b.getDrive()


def per_call(timer, number):
    return timer.timeit(number) / number


def calibrate(row):
    timer = row.timer(vsnRtrv)
    number = 1
    while per_call(timer, number) * number < TARGET_SECONDS / 5:
        number *= 5
    return max(1, int(number * 5 * TARGET_SECONDS / max(per_call(timer, number) * number * 5,
                                                          1e-9)))


def time_rows():
    empty = {side: timeit.Timer("pass", "gc.enable()", globals={"gc": gc}) for side in (0,)}
    numbers = [calibrate(row) for row in ROWS]
    loop = float("inf")
    for _ in range(ROUNDS):
        loop = min(loop, per_call(empty[0], 1_000_000))
        for row, number in zip(ROWS, numbers):
            for side in (vsnRtrv, plain):
                t = per_call(row.timer(side), number)
                row.best[side] = min(row.best.get(side, float("inf")), t)
    return loop


def fmt(seconds):
    if seconds >= 1e-3:
        return f"{seconds * 1e3:8.2f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:8.2f} us"
    return f"{seconds * 1e9:8.1f} ns"


def peak(side, devices):
    side.run = linux_run(devices)
    gc.collect()
    tracemalloc.start()
    result = side.rtrvDrivesInfoLinux()
    _, top = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    del result
    return top


def records_memory(side, records):
    """What the records that one conversion makes take, held (their list included), from
    the same entries on both sides: its strings are the entries' own and not counted.
    1.5 devices give a record: the conversion leaves out the identifiers of full UUIDs."""
    plain.run = linux_run(records * 3 // 2)
    info = plain.rtrvDrivesInfoLinux()
    gc.collect()
    tracemalloc.start()
    made = side._convDrivesInfoListToClassLinux(info)
    held, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert len(made) == records
    return held


RECORD_ROWS = {"DriveInfo": "DriveInfo(d, v, p)", "getDrive": "record.getDrive()",
               "printinfo": "record.printinfo()", "loop": "pass"}


def icount_child(which, side_name, devices, calls):
    side = vsnRtrv if side_name == "module" else plain
    if which in RECORD_ROWS:
        # The statement in a loop of its own, as a program would run it.
        source = f"def loop(n):\n    for _ in range(n):\n        {RECORD_ROWS[which]}\n"
        namespace = record_setup(side)
        exec(source, namespace)
        namespace["loop"](devices * calls)
        return
    side.run = linux_run(devices)
    function = getattr(side, which)
    for _ in range(calls):
        function()


def callgrind(which, side_name, devices, calls):
    out = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
         os.path.abspath(__file__), "--child", which, side_name, str(devices), str(calls)],
        stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True, check=True).stderr
    for line in out.splitlines():
        if "Collected :" in line:
            return int(line.split()[-1])
    raise RuntimeError(out)


def icounts():
    print()
    print("Instructions per device (callgrind)")
    print(f"{'function':<24}{'devices':>9}{'module':>10}{'plain':>10}{'ratio':>8}")
    base = {}
    for which in ("rtrvDrivesInfoLinux", "rtrvDriveVSNPairsLinux"):
        for devices in (1_000, 10_000, 100_000):
            calls = max(1, 30_000 // devices)
            counts = {}
            for side_name in ("module", "plain"):
                if (side_name, devices) not in base:
                    base[side_name, devices] = callgrind(which, side_name, devices, 0)
                full = callgrind(which, side_name, devices, calls)
                full -= base[side_name, devices]
                counts[side_name] = full / (calls * devices)
            print(f"{which:<24}{devices:>9,}{counts['module']:>10,.0f}{counts['plain']:>10,.0f}"
                  f"{counts['plain'] / counts['module']:>7.2f}x")
    print()
    print("Instructions per operation (callgrind; the empty loop taken off)")
    print(f"{'operation':<24}{'module':>10}{'plain':>10}{'ratio':>8}")
    n = 200_000
    per = {}
    for which in RECORD_ROWS:
        for side_name in ("module", "plain"):
            per[which, side_name] = callgrind(which, side_name, n, 1) - callgrind(
                which, side_name, 0, 1)
    for which in ("DriveInfo", "getDrive", "printinfo"):
        m, p = ((per[which, side] - per["loop", side]) / n for side in ("module", "plain"))
        print(f"{RECORD_ROWS[which]:<24}{m:>10,.0f}{p:>10,.0f}{p / m:>7.2f}x")


def main():
    if sys.argv[1:2] == ["--child"]:
        which, side_name, devices, calls = sys.argv[2:6]
        icount_child(which, side_name, int(devices), int(calls))
        return
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"Python {sys.version.split()[0]}{'' if gil else ', without the GIL'}")
    check_equal()
    loop = time_rows()
    print(f"{'work':<50}{'module':>12}{'plain':>12}{'ratio':>8}  target")
    missed = 0
    for row in ROWS:
        m = max(row.best[vsnRtrv] - loop, 1e-12)
        p = max(row.best[plain] - loop, 1e-12)
        met = p / m >= row.target
        missed += not met
        print(f"{row.title:<50}{fmt(m):>12}{fmt(p):>12}{p / m:>7.2f}x  "
              f"{row.target:.2f}x {'met' if met else 'MISSED'}")
    print(f"(best of {ROUNDS} interleaved rounds, collector on, empty loop {fmt(loop).strip()} "
          f"taken off)")
    module_peak = peak(vsnRtrv, 100_000)
    plain_peak = peak(plain, 100_000)
    print(f"peak memory, rtrvDrivesInfoLinux, 100,000 devices: module {module_peak / 2**20:.1f} "
          f"MiB, plain {plain_peak / 2**20:.1f} MiB (tracemalloc)")
    module_held = records_memory(vsnRtrv, 100_000)
    plain_held = records_memory(plain, 100_000)
    print(f"memory of 100,000 records from _convDrivesInfoListToClassLinux: module "
          f"{module_held / 2**20:.1f} MiB, plain {plain_held / 2**20:.1f} MiB "
          f"({module_held / 100_000:.0f} and {plain_held / 100_000:.0f} bytes a record, list "
          f"included; tracemalloc)")
    if module_held > plain_held:
        print("records larger than plain ones")
        missed += 1
    if "--icount" in sys.argv:
        icounts()
    sys.exit(1 if missed else 0)


if __name__ == "__main__":
    main()
