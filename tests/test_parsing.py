"""The parsers' two paths: exact str and bytes read in place, anything else through its
own methods. Whatever the path, a caller sees the same thing."""

import types

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import vsnRtrv
from conftest import REBINDS, Bytes, Decodes, Text, module_entries


class Upper(str):
    """Text whose own split hands its pieces back in capitals."""

    def split(self, *args):
        return [Upper(piece.upper()) for piece in str.split(self, *args)]


class OwnDecode(bytes):
    def decode(self, *args):
        return " own "


class Marks(str):
    """Text whose own strips leave a mark."""

    def rstrip(self, *args):
        return Marks(self + ">")

    def lstrip(self, *args):
        return "<" + self


def linux(function, text, *args):
    """A call of a Linux function with `text` as the output of every command it runs."""

    def call():
        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(vsnRtrv, "_runCmdList", lambda cmd: text)
            return getattr(vsnRtrv, function)(*args)
    return call


@pytest.mark.parametrize("call, expected", [
    (lambda: vsnRtrv.rtrvDrivesFromStrWindows(Upper("Drives: c:\\ d:\\")), ["C:", "D:"]),
    (lambda: vsnRtrv.rtrvVSNFromStrWindows(Upper("Serial is 5e0b-a7c2")), "5E0B-A7C2"),
    (linux("rtrvDriveVSNPairsLinux", Upper('/dev/sdb1: UUID="ab-cd"')), [["/DEV/SDB1:", "AB-CD"]]),
    (linux("addDrivesPathsLinux", Upper("/dev/sdb1 1G 1M 1G 1% /mnt/b"), [["/DEV/SDB1", "A"]]),
     [["/DEV/SDB1", "A", "/MNT/B"]]),
    (lambda: vsnRtrv._cleanStdout(OwnDecode(b"raw")), "own"),
    (lambda: vsnRtrv._cleanStdout(types.SimpleNamespace(decode=lambda *a: Marks(" x "))), "< x >"),
], ids=["fsutil", "vol", "blkid", "df", "bytes decode", "decoded text strips"])
@pytest.mark.thread_unsafe(reason=REBINDS)
def test_own_methods_are_called(call, expected):
    assert call() == expected


# Tool output of every shape the parsers meet: lines of a device and tokens such as tags,
# cut by every separator str.split knows (str.splitlines' line ends among them), in
# characters of every storage width, surrogates and NUL included.
WHITESPACE = [c for c in map(chr, range(0x3001)) if c.isspace()]
CHARS = st.one_of(st.characters(), st.sampled_from(WHITESPACE + ["\x00", "\x1b", "\udce9"]),
                  st.sampled_from("0aF-\"\\:\u00e9\u0126\U0001F4BE"))
WORD = st.text(CHARS, max_size=17)
DEVICE = st.sampled_from(["/dev/sdb1", "/dev/sda1", "/dev/\u0126", "/dev/\U0001F4BE", "sda"])
SEPARATOR = st.sampled_from(WHITESPACE + ["\r\n", "  "])
FIELDS = st.lists(st.one_of(SEPARATOR, WORD, DEVICE, st.sampled_from(
    ['UUID="', 'PTUUID="', 'PARTUUID="', 'UUID_SUB="', "UUID=", 'LABEL="', '" '])),
    max_size=16).map("".join)
# blkid starts a line with the device and a colon, df with the device alone.
BLKID = st.lists(st.builds("{}{}{}".format, st.one_of(DEVICE.map("{}:".format), WORD), SEPARATOR,
                           FIELDS), max_size=5).map("\n".join)
DF = st.lists(st.builds("{}{}{}".format, st.one_of(DEVICE, WORD), SEPARATOR, FIELDS),
              max_size=5).map("\n".join)


def outcome(function, *args):
    try:
        return function(*args)
    except Exception as exc:
        return type(exc), str(exc), module_entries(exc)


def parses(blkid, df, wrap):
    """What every parser makes of the texts, each text handed over as wrap(text)."""
    # blkid's lines, less their colons, are df lines too: its devices get mount points.
    df += "\n" + blkid.replace(":", "")
    outputs = {"blkid": wrap(blkid), "df": wrap(df)}
    # One entry for each first column of df, as the devices it may name.
    entries = [[line.split()[0], "X"] for line in df.split("\n") if line.split()]
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(vsnRtrv, "_runCmdList", lambda cmd: outputs[cmd[0]])
        return [
            outcome(vsnRtrv.rtrvDrivesFromStrWindows, wrap(blkid)),
            outcome(vsnRtrv.rtrvVSNFromStrWindows, wrap(blkid)),
            outcome(vsnRtrv.rtrvDriveVSNPairsLinux),
            outcome(vsnRtrv.rtrvDrivesInfoLinux),
            outcome(vsnRtrv.addDrivesPathsLinux, entries),
        ]


@pytest.mark.thread_unsafe(reason=REBINDS)
@settings(max_examples=200, deadline=None, database=None, derandomize=True,
          suppress_health_check=[HealthCheck.too_slow])
@given(blkid=BLKID, df=DF,
       raw=st.one_of(st.binary(max_size=40), BLKID.map(lambda t: t.encode("utf-8", "surrogatepass"))))
def test_both_paths_agree(blkid, df, raw):
    assert parses(blkid, df, Text) == parses(blkid, df, str)
    # Most tool output has one byte a character, which the in-place path reads its own way.
    blkid, df = (text.encode("latin-1", "replace").decode("latin-1") for text in (blkid, df))
    assert parses(blkid, df, Text) == parses(blkid, df, str)
    cleaned = outcome(vsnRtrv._cleanStdout, raw)
    assert [outcome(vsnRtrv._cleanStdout, kind(raw)) for kind in (bytearray, Decodes, Bytes)] == [
        cleaned] * 3
