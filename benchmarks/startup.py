"""Start-up cost of the installed ``vsnRtrv`` command against the module's own ``_main``.

    python benchmarks/startup.py [--runs N]

Run it with the interpreter of the environment the package is installed in. Both sides
are whole processes doing the same work, with the same environment and stand-in blkid
and df on PATH (the output of two drives):

    command  <env>/bin/vsnRtrv                                  (pip's console script)
    bare     <env>/bin/python -c "import vsnRtrv; vsnRtrv._main()"

Each run's cost is its CPU time, user plus system, from the rusage that wait4 returns
for the child (the stand-in tools it waited for included), so that other work on a
shared machine moves it less than wall time. Runs alternate between the two sides;
the medians are compared. Ratio = command / bare: at most 1.10 is the goal.

pip's console-script wrapper imports ``re`` before the command's own module, whatever
that module does; a third side, ``python -c "import re, vsnRtrv; vsnRtrv._main()"``,
prices that import where the module's own imports already share what they can with it.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

BLKID = ('/dev/sdb1: LABEL="USB STICK" UUID="1A2B-3C4D" TYPE="vfat"\n'
         '/dev/nvme0n1p1: UUID="9C4E-21F0" TYPE="vfat"\n')
DF = ("Filesystem      Size  Used Avail Use% Mounted on\n"
      "/dev/sdb1       7.5G  1.2G  6.3G  16% /media/user/USB STICK\n"
      "/dev/nvme0n1p1  511M  6.1M  505M   2% /boot/efi\n")


def stand_ins(folder):
    """blkid and df that print recorded text, as shell scripts using the shell's own
    printf, so that each costs one small process."""
    for name, text in (("blkid", BLKID), ("df", DF)):
        path = os.path.join(folder, name)
        with open(path, "w") as script:
            script.write("#!/bin/sh\nprintf '%s' '" + text.replace("'", "'\\''") + "'\n")
        os.chmod(path, 0o755)


def cpu_seconds(argv, env):
    child = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        raise SystemExit(f"{argv} exited with status {child.returncode}")
    return usage.ru_utime + usage.ru_stime


def compare(sides, env, runs):
    times = {name: [] for name in sides}
    for _ in range(runs):
        for name, argv in sides.items():
            times[name].append(cpu_seconds(argv, env))
    return {name: statistics.median(values) for name, values in times.items()}


def main():
    options = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    options.add_argument("--runs", type=int, default=200)
    runs = options.parse_args().runs
    if os.name == "nt":
        raise SystemExit("the stand-in tools are POSIX shell scripts")
    bindir = os.path.dirname(sys.executable)
    command = shutil.which("vsnRtrv", path=bindir)
    if command is None:
        raise SystemExit(f"no vsnRtrv command beside {sys.executable}")
    with tempfile.TemporaryDirectory(prefix="vsn-startup-") as tools:
        stand_ins(tools)
        env = {"PATH": tools, "LC_ALL": "C.UTF-8"}
        expected = subprocess.run([command], env=env, stdout=subprocess.PIPE, check=True)
        bare = [sys.executable, "-c", "import vsnRtrv; vsnRtrv._main()"]
        if subprocess.run(bare, env=env, stdout=subprocess.PIPE).stdout != expected.stdout:
            raise SystemExit("the command and _main print different text")
        with_re = [sys.executable, "-c", "import re, vsnRtrv; vsnRtrv._main()"]
        medians = compare({"command": [command], "bare": bare, "bare + re": with_re},
                          env, runs)
    version = ".".join(map(str, sys.version_info[:2]))
    print(f"Python {version}, {runs} interleaved runs each, median CPU (user+sys):")
    for name, seconds in medians.items():
        print(f"  {name:10} {seconds * 1e3:6.2f} ms   {seconds / medians['bare']:.3f} x bare")


if __name__ == "__main__":
    main()
