"""Linux retrieval: blkid identifiers, df mount paths and the records made of them."""

import pytest

import vsnRtrv
from samples import BLKID, DF, Record

RECORDS = [
    ("/dev/sdb1", "1A2B-3C4D", "/media/user/USBSTICK"),
    ("/dev/sdc1", "A5E6-F789", "/media/user/Backup"),
]


@pytest.fixture
def records(monkeypatch):
    monkeypatch.setattr(vsnRtrv, "DriveInfo", Record)


def df_line(device, mount):
    return f"{device}  1.0G  1.0M  1.0G   1% {mount}\n".encode()


def test_worked_example_end_to_end(fake_run, output, records):
    run = fake_run({("blkid",): BLKID, ("df", "-h"): DF})
    assert vsnRtrv.rtrvDriveVSNPairsLinux() == [
        ["/dev/sda1:", "3f1c2a9e-5d8b-4c1e-9a7f-2b6e8d4c1a0f"],
        ["/dev/sdb1:", "1A2B-3C4D"],
        ["/dev/sdc1:", "01D2C3B4A5E6F789"],
    ]
    assert vsnRtrv.rtrvDrivesInfoLinux() == [list(r) for r in RECORDS]
    assert [r.args for r in vsnRtrv.rtrvDriveInfo("lin")] == RECORDS
    assert run.commands == [["blkid"], ["blkid"], ["df", "-h"], ["blkid"], ["df", "-h"]]
    assert all(kw == {"stdout": vsnRtrv.PIPE, "shell": False} for _, kw in run.calls)


@pytest.mark.parametrize(
    "uuid, folded",
    [
        ("1A2B-3C4D", "1A2B-3C4D"),
        ("0123456789", "89-"),
        ("0123456789abcdef", "89ab-cdef"),
        ("0123456789abcdefg", "0123456789abcdefg"),
        ("\u0126\u01262345678abcd\U0001F4BE\u00e9", "8abc-d\U0001F4BE\u00e9"),
    ],
)
def test_folding_by_length(fake_run, output, uuid, folded):
    fake_run({("blkid",): f'/dev/sdb1: UUID="{uuid}"'.encode(), ("df", "-h"): b""})
    assert vsnRtrv.rtrvDrivesInfoLinux() == [["/dev/sdb1", folded]]
    assert vsnRtrv.rtrvDriveVSNPairsLinux() == [["/dev/sdb1:", uuid]]


def test_system_disk_left_out_by_whole_token(fake_run, output):
    devices = ["/dev/sda2:", "/dev/sdab1:", "/dev/sdb1:", "/dev/nvme0n1p1:", "/\U0001F4BEsda:",
               "/dev/s\u00e9da:"]
    text = "\n".join(f'{d} UUID="ABCD-0123"' for d in devices)
    fake_run({("blkid",): text.encode(), ("df", "-h"): b""})
    assert [p[0] for p in vsnRtrv.rtrvDrivesInfoLinux()] == [
        "/dev/sdb1", "/dev/nvme0n1p1", "/dev/s\u00e9da"]
    assert [p[0] for p in vsnRtrv.rtrvDriveVSNPairsLinux()] == devices


@pytest.mark.parametrize("text, pairs", [
    # Only the UUID tag qualifies, as a whole token.
    ('/dev/sdc: PTUUID="c0ffee00" PTTYPE="dos"\n'
     '/dev/sdd1: UUID_SUB="aaaa-bbbb" PARTUUID="c0ffee00-01"\n'
     '/dev/sde1: LABEL="old PARTUUID=x" UUID="" TYPE="vfat"\n/dev/sdf1: UUID=\n',
     [["/dev/sde1:", ""], ["/dev/sdf1:", ""]]),
    ('/dev/sdb1: LABEL="My Stick" UUID="1A2B-3C4D"\r\n\r\n  \n/dev/sdc1: UUID="x"\t TYPE="vfat"\r\n',
     [["/dev/sdb1:", "1A2B-3C4D"], ["/dev/sdc1:", "x"]]),
    # Wide characters; whitespace beyond ASCII splits tokens but never ends a line.
    ('/dev/sdb1: LABEL="\U0001F4BE" UUID="1A2B-3C4D"\x85/dev/sdc1:\u3000UUID="\u00e9\u2003x" UUID=',
     [["/dev/sdb1:", "1A2B-3C4D"], ["/dev/sdb1:", ""], ["/dev/sdb1:", ""]]),
    ('\x1c/dev/\u0126:\x1fUUID="\U0001F4BE\x00"\u2028\n\xa0\x1d', [["/dev/\u0126:", "\U0001F4BE\x00"]]),
])
def test_blkid_tokens_and_lines(fake_run, output, text, pairs):
    fake_run({("blkid",): text.encode()})
    assert vsnRtrv.rtrvDriveVSNPairsLinux() == pairs


def test_empty_blkid_output_still_runs_df(fake_run, output):
    run = fake_run({("blkid",): b"", ("df", "-h"): DF})
    first = vsnRtrv.rtrvDrivesInfoLinux()
    assert first == [] and first is not vsnRtrv.rtrvDrivesInfoLinux()
    assert run.commands == [["blkid"], ["df", "-h"]] * 2


def test_pairs_go_to_the_current_add_paths(fake_run, output, monkeypatch):
    fake_run({("blkid",): b'/dev/sdb1: UUID="1A2B-3C4D"'})
    seen = []
    monkeypatch.setattr(vsnRtrv, "addDrivesPathsLinux", lambda p: seen.append(p) or "done")
    assert vsnRtrv.rtrvDrivesInfoLinux() == "done"
    assert seen == [[["/dev/sdb1", "1A2B-3C4D"]]]


def test_device_matches_its_own_line_only(fake_run, output):
    df = (
        df_line("/dev/sdb10", "/mnt/ten")
        + df_line("/dev/sdb1", "/mnt/one")
        + df_line("tmpfs", "/run/dev/sdc")
        + df_line("/dev/sdd1", "/srv/a")
        + b"/dev/sdc1\n"
        + b"/dev/sdb1 1G 1M 1G 1%\n"
        + df_line("/dev/sdd1", "/srv/b")
    )
    fake_run({("df", "-h"): df})
    pairs = [["/dev/sdb1", "A"], ["/dev/sdc", "B"], ["/dev/sdc1", "C"], ["/dev/sdd1", "D"]]
    assert vsnRtrv.addDrivesPathsLinux(pairs) == [
        ["/dev/sdb1", "A", "/mnt/one"],
        ["/dev/sdc", "B"],
        ["/dev/sdc1", "C"],
        ["/dev/sdd1", "D", "/srv/a", "/srv/b"],
    ]


@pytest.mark.parametrize("mount", [
    "/media/user/Backup  Disk 2", "/m\u3000n \r", "/media/\U0001F4BE\x1c\x85stick\t\xa0"])
def test_mount_point_stays_whole(fake_run, output, mount):
    # Not the last line, which cleaning would trim.
    fake_run({("df", "-h"): df_line("/dev/sdc1", mount) + df_line("/dev/sdd1", "/mnt")})
    assert vsnRtrv.addDrivesPathsLinux([["/dev/sdc1", "X"]])[0][2] == mount


def test_paths_grow_the_callers_entries(fake_run, output):
    run = fake_run({("df", "-h"): DF})
    entry = ["/dev/sdb1", "1A2B-3C4D"]
    given = [entry]
    result = vsnRtrv.addDrivesPathsLinux(given)
    assert result is not given and result[0] is entry
    assert given == [["/dev/sdb1", "1A2B-3C4D", "/media/user/USBSTICK"]]
    empty = []
    assert vsnRtrv.addDrivesPathsLinux(empty) == []
    assert vsnRtrv.addDrivesPathsLinux(empty) is not empty
    assert run.commands == [["df", "-h"]] * 3


def test_odd_entries(fake_run, output, entries):
    fake_run({("df", "-h"): DF})
    odd = [[None, "X"], [b"/dev/sdb1", "Y"]]
    assert vsnRtrv.addDrivesPathsLinux(odd) == [[None, "X"], [b"/dev/sdb1", "Y"]]

    class Entry(list):
        def append(self, item):
            super().append(item.upper())

    assert vsnRtrv.addDrivesPathsLinux([Entry(["/dev/sdb1", "A"])])[0][2] == "/MEDIA/USER/USBSTICK"
    with pytest.raises(IndexError) as exc:
        vsnRtrv.addDrivesPathsLinux([["/dev/sdb1", "A"], []])
    assert entries(exc.value) == [("vsnRtrv.addDrivesPathsLinux", 145)]
    with pytest.raises(AttributeError) as exc:
        vsnRtrv.addDrivesPathsLinux(("/dev/sdb1", "A"))
    assert entries(exc.value) == [("vsnRtrv.addDrivesPathsLinux", 137)]


class Entry:
    """An entry that offers indexing only."""

    def __init__(self, *items):
        self.items = items

    def __getitem__(self, index):
        return self.items[index]


def test_conversion_passes_over_long_identifiers_and_unmounted_devices(records):
    info = [
        ("/dev/sdd1", "ABCD-0123"),
        ["/dev/sdb1", "1A2B-3C4D", "/mnt/a", "/mnt/b"],
        ["/dev/sdc1", "0123456789", "/mnt/c"],
        ("/dev/sde1", "", "/mnt/e"),
        ["/dev/sdf1", "ABCD-0123"],
        Entry("/dev/sdg1", "1A2B-3C4D", "/mnt/g"),
    ]
    made = vsnRtrv._convDrivesInfoListToClassLinux(info)
    assert [r.args for r in made] == [
        ("/dev/sdb1", "1A2B-3C4D", "/mnt/a"),
        ("/dev/sde1", "", "/mnt/e"),
        ("/dev/sdg1", "1A2B-3C4D", "/mnt/g"),
    ]
    assert vsnRtrv._convDrivesInfoListToClassLinux([]) == []


@pytest.mark.parametrize("info, line", [
    ([["/dev/sdb1", "A", "/m"], ["/dev/sdc1"]], 213),
    # Without a count to go by, a missing path is only found when it is read.
    ([Entry("/dev/sdb1", "1A2B-3C4D")], 214),
])
def test_conversion_failures(records, entries, info, line):
    with pytest.raises(IndexError) as exc:
        vsnRtrv._convDrivesInfoListToClassLinux(info)
    assert entries(exc.value) == [("vsnRtrv._convDrivesInfoListToClassLinux", line)]


def test_a_list_subclass_is_walked_through_its_own_iterator(records):
    class Entries(list):
        def __iter__(self):
            return iter([["/dev/sdd1", "ABCD-0123", "/mnt/d"]])

    given = Entries([["/dev/sdb1", "1A2B-3C4D", "/mnt/b"]])
    assert [r.args for r in vsnRtrv._convDrivesInfoListToClassLinux(given)] == [
        ("/dev/sdd1", "ABCD-0123", "/mnt/d")]
    assert [r.args for r in vsnRtrv._convDrivesInfoListToClassWindows(given)] == [
        ("/dev/sdd1", "ABCD-0123", "/dev/sdd1")]


@pytest.mark.parametrize("present, call, chain", [
    ([], vsnRtrv.rtrvDriveVSNPairsLinux, [("vsnRtrv.rtrvDriveVSNPairsLinux", 236)]),
    ([], lambda: vsnRtrv.rtrvDriveInfo("lin"),
     [("vsnRtrv.rtrvDriveInfo", 96), ("vsnRtrv.rtrvDrivesInfoLinux", 111)]),
    (["blkid"], vsnRtrv.rtrvDrivesInfoLinux,
     [("vsnRtrv.rtrvDrivesInfoLinux", 130), ("vsnRtrv.addDrivesPathsLinux", 140)]),
])
def test_missing_tool_reports_where(tools, entries, present, call, chain):
    for name in present:
        tools.add(name, BLKID)
    with pytest.raises(FileNotFoundError) as exc:
        call()
    assert entries(exc.value) == chain + [("vsnRtrv._runCmdList", 88)]


def test_real_tools_on_path(tools, output, records):
    tools.add("blkid", BLKID, status=2, stderr=b"blkid: some devices unreadable\n")
    tools.add("df", DF + df_line("/dev/sdb1", "/media/user/USB STICK"))
    made = vsnRtrv.rtrvDriveInfo("lin")
    assert [r.args for r in made] == RECORDS
    assert vsnRtrv.rtrvDrivesInfoLinux()[0][3] == "/media/user/USB STICK"

