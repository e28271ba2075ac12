"""Instruction counts of rtrvDrivesInfoLinux, which time on a shared machine blurs.

Run by hand under callgrind, once without calls and once with, for each size:

    valgrind --tool=callgrind --callgrind-out-file=/dev/null \
        python benchmarks/icount_linux.py DEVICES CALLS

Instructions per device = (Collected with CALLS - Collected with 0) / (CALLS * DEVICES).
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_linux  # noqa: E402
import vsnRtrv  # noqa: E402


def main():
    devices, calls = int(sys.argv[1]), int(sys.argv[2])
    vsnRtrv.run = bench_linux.serve(
        {"blkid": bench_linux.blkid_output(devices), "df": bench_linux.df_output(devices)}
    )
    for _ in range(calls):
        vsnRtrv.rtrvDrivesInfoLinux()


if __name__ == "__main__":
    main()
