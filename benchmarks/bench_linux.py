"""Times the Linux retrieval on synthetic blkid and df -h output.

Run by hand against an installed module:  python benchmarks/bench_linux.py
No tool is started: vsnRtrv.run is rebound to hand back recorded output. The figure
printed is microseconds per device; it should stay flat as the device count grows.
A second table repeats the timings with the cyclic collector paused: the result lists
of a large call outlive many collections, so the first table also shows what the
collector costs for them, and the second the parse alone.
"""

import gc
import subprocess
import sys
import time

import vsnRtrv

SIZES = (10, 1_000, 100_000)
# Enough calls at every size that each timing covers about a million devices.
DEVICES_PER_TIMING = 1_000_000


def identifier(i):
    # FAT serials, NTFS serials (folded) and full UUIDs, in turn.
    kind = i % 3
    if kind == 0:
        return f"{i % 0xFFFF:04X}-{i // 0xFFFF:04X}"
    if kind == 1:
        return f"{i:016X}"
    return f"{i:08x}-0000-4000-8000-{i:012x}"


def device(i):
    return f"/dev/nvme{i // 8}n1p{i % 8 + 1}"


def blkid_output(n):
    lines = []
    for i in range(n):
        lines.append(
            f'{device(i)}: LABEL="Disk {i}" UUID="{identifier(i)}" BLOCK_SIZE="512" '
            f'TYPE="ext4" PARTUUID="{i:08x}-01"'
        )
    return ("\n".join(lines) + "\n").encode()


def df_output(n):
    lines = ["Filesystem      Size  Used Avail Use% Mounted on"]
    for i in range(n):
        lines.append(f"{device(i)}  932G  100G  832G  11% /srv/volumes/vol {i}")
        if i % 10 == 0:
            lines.append(f"tmpfs           3.9G     0  3.9G   0% /run/user/{i}")
    return ("\n".join(lines) + "\n").encode()


def serve(outputs):
    def run(cmd, **_):
        return subprocess.CompletedProcess(cmd, 0, stdout=outputs[cmd[0]])

    return run


def per_device_us(function, n):
    calls = max(1, DEVICES_PER_TIMING // n)
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        for _ in range(calls):
            function()
        best = min(best, (time.perf_counter() - start) / calls)
    return best / n * 1e6


def table(title):
    print(title)
    print(f"{'devices':>8}  {'rtrvDrivesInfoLinux':>20}  {'rtrvDriveVSNPairsLinux':>22}  (us/device)")
    for n in SIZES:
        vsnRtrv.run = serve({"blkid": blkid_output(n), "df": df_output(n)})
        info = vsnRtrv.rtrvDrivesInfoLinux()
        assert len(info) == n and all(len(entry) == 3 for entry in info), "every device mounted"
        drives = per_device_us(vsnRtrv.rtrvDrivesInfoLinux, n)
        pairs = per_device_us(vsnRtrv.rtrvDriveVSNPairsLinux, n)
        print(f"{n:>8}  {drives:>20.3f}  {pairs:>22.3f}")


def main():
    print(f"Python {sys.version.split()[0]}")
    table("collector running")
    gc.disable()
    try:
        table("collector paused")
    finally:
        gc.enable()


if __name__ == "__main__":
    main()
