"""The ``vsnRtrv`` command: prints one line per drive of this machine, or JSON.

pip writes the command itself for whichever interpreter the wheel is installed into;
this module reads the options and leaves the work to the extension (``_main`` for the
text, the records of ``rtrvDriveInfo`` for JSON).

What people meet every day is said in one line on standard error: a tool that cannot
be started, output that cannot be written or encoded, Ctrl-C. Anything else is a fault
worth a report, so it keeps the interpreter's traceback with the module's entries.
``--traceback`` or ``VSN_TRACEBACK=1`` shows the traceback in the one-line cases too.

A run costs about what ``python -c "import vsnRtrv; vsnRtrv._main()"`` costs: the
option parser is imported only when there are options, ``json`` only for ``--json``
and the version lookup only for ``--version``, and the console script's entry
(``console``) spares the cycle collector what start-up made (benchmarks/startup.py).
"""

import gc
import os
import sys

import vsnRtrv

PROG = "vsnRtrv"
INTERRUPTED = 130

# Where a missing tool comes from, for the Linux distributions' package names.
_PACKAGES = {"blkid": "util-linux", "df": "coreutils"}

_DESCRIPTION = """\
Print the storage drives of this machine, one line per drive:
  Drive: /dev/sdb1, Path: /media/user/USBSTICK, VSN: 1A2B-3C4D

The identifier (VSN):
  Linux    the UUID="..." value that blkid prints. Up to 9 characters (FAT, exFAT:
           1A2B-3C4D) it is shown as it is; 10 to 16 characters (the 16-digit NTFS
           serial 01D2C3B4A5E6F789) are cut to the characters from the ninth on,
           with a hyphen after the twelfth (A5E6-F789).
  Windows  the volume serial number that vol prints (5E0B-A7C2); the path is the
           drive name itself (C:).

Which devices are listed. Windows: every drive that fsutil fsinfo drives lists.
Linux: a device is listed only when all of this holds, and left out otherwise:
  - blkid shows it with a UUID tag. blkid lists every device only for root: run as
    another user it may list little or nothing, so run sudo vsnRtrv for a full
    listing. A whole disk with a partition table has no UUID tag (its partitions do).
  - its name does not contain "sda": /dev/sda1, /dev/sda2 and /dev/sdab1 are left
    out (the first disk, often the system disk); /dev/sdb1, /dev/nvme0n1p1 are kept.
  - its identifier is shorter than 17 characters: identifiers of 17 characters or
    more, such as the 36-character UUIDs of ext4, xfs, btrfs and swap, give no line.
  - it is mounted: unmounted devices, which df -h does not list, have no path and
    give no line.

Tools run: blkid and df -h on Linux; fsutil fsinfo drives and vol (one per drive)
on Windows. Nothing is cached: every run asks them again.
"""

_EPILOG = """\
output formats:
  text     one line per drive, as above; nothing at all when no drive is listed
  --json   one JSON array of objects with the keys "drive", "path" and "vsn"
           ([] when no drive is listed)

exit status:
  0    success, also when no drive is listed (a note on standard error says why
       that is likely)
  1    a tool cannot be run (one line naming it), the platform is unsupported, a
       drive record does not fit JSON, the output cannot be written or encoded,
       or its reader stopped early (vsnRtrv | head -1)
  2    a usage error, such as an unknown option
  130  interrupted (Ctrl-C)

environment:
  VSN_TRACEBACK=1  as --traceback
"""


class _WriteFailed(Exception):
    """Carries an error of standard output through the extension, which catches nothing."""

    def __init__(self, error):
        super().__init__(error)
        self.error = error


class _Output:
    """Standard output for ``_main``, telling a failed write apart from a failed tool.

    A missing tool raises an OSError too; only errors raised here are output errors.
    ValueError covers a stream that cannot encode the text and a closed stream.
    """

    def __init__(self, stream):
        self._stream = stream
        self.written = False

    def write(self, text):
        try:
            count = self._stream.write(text)
        except (OSError, ValueError) as error:
            raise _WriteFailed(error) from None
        self.written = self.written or bool(text)
        return count

    def flush(self):
        try:
            self._stream.flush()
        except (OSError, ValueError) as error:
            raise _WriteFailed(error) from None


def _can_be_asked(stream):
    """Whether the stream says if it is a terminal, as argparse asks it from 3.14 on to
    colour the help. A closed one answers with ValueError instead of no."""
    try:
        try:
            stream.fileno()
        except OSError:
            pass  # no descriptor of its own: isatty() is asked instead
        stream.isatty()
    except (AttributeError, OSError, ValueError):
        return False
    return True


def _parse(args):
    saved = sys.stdout
    if not _can_be_asked(saved):
        # What argparse takes for no terminal, as under pythonw: otherwise its question
        # would end the command in a traceback before it could say in one line that
        # standard output cannot be written.
        sys.stdout = None
    try:
        return _parse_options(args)
    finally:
        sys.stdout = saved


def _parse_options(args):
    import argparse

    # Help and version are printed by the command rather than by argparse, which would
    # send them to standard error when standard output is closed, and exit 0.
    parser = argparse.ArgumentParser(
        prog=PROG,
        add_help=False,
        allow_abbrev=False,
        description=_DESCRIPTION,
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("-h", "--help", action="store_true", help="print this help and exit")
    parser.add_argument("-V", "--version", action="store_true",
                        help="print the version and exit")
    parser.add_argument("--json", action="store_true",
                        help="print one JSON array instead of lines")
    parser.add_argument("--traceback", action="store_true",
                        help="show the full traceback of an error that is otherwise "
                        "told in one line")
    options = parser.parse_args(args)
    options.help_text = parser.format_help() if options.help else None
    return options


def _version():
    from importlib import metadata

    try:
        return metadata.version(PROG)
    except metadata.PackageNotFoundError:
        return "unknown"


def _complain(message):
    stream = sys.stderr
    if stream is None:
        return
    try:
        stream.write(f"{PROG}: {message}\n")
        stream.flush()
    except (OSError, ValueError):
        pass  # nowhere left to say it


def _supported(tag):
    return tag == "lin" or tag == "win"


def _note_nothing_listed(tag):
    if tag == "win":
        _complain("no drive found: fsutil fsinfo drives listed none")
    elif hasattr(os, "geteuid") and os.geteuid() != 0:
        _complain("no drive found: blkid lists every device only for root; "
                  f"try: sudo {PROG}")
    else:
        _complain('no drive found: names with "sda", identifiers of 17 characters or '
                  f"more and unmounted devices are left out (see {PROG} --help)")


def _write_json(tag, out):
    import json

    found = vsnRtrv.rtrvDriveInfo(tag)
    if isinstance(found, str):
        _complain(found)
        return 1
    records = [
        {"drive": info.getDrive(), "path": info.getPath(), "vsn": info.getVSN()}
        for info in found
    ]
    try:
        text = json.dumps(records, allow_nan=False)
    except (TypeError, ValueError) as error:
        _complain(f"a drive record does not fit JSON: {error}")
        return 1
    out.write(text + "\n")
    if not records:
        # "[]" may wait in the buffer: whether it could be written is known only once
        # flushed, and a failure is then the one line, not the note.
        out.flush()
        _note_nothing_listed(tag)
    return 0


def _write_text(tag, out):
    saved = sys.stdout
    sys.stdout = out  # _main prints through the print of the builtins
    try:
        vsnRtrv._main()
    finally:
        sys.stdout = saved
    if not _supported(tag):
        return 1  # _main has printed the platform's error text
    if not out.written:
        _note_nothing_listed(tag)
    return 0


def _write(options, out):
    if options is not None and options.help_text is not None:
        out.write(options.help_text)
    elif options is not None and options.version:
        out.write(f"{PROG} {_version()}\n")
    else:
        tag = vsnRtrv.getPlatform()
        write = _write_json if options is not None and options.json else _write_text
        if write(tag, out):
            out.flush()
            return 1
    out.flush()
    return 0


def _tool_of(error):
    """The tool that could not be started: the file the error names, else the command
    that the subprocess module was given (Windows names no file)."""
    if error.filename is not None:
        return os.fsdecode(error.filename)
    tb = error.__traceback__
    while tb is not None:
        frame = tb.tb_frame
        if frame.f_globals.get("__name__") == "subprocess":
            args = frame.f_locals.get("args")
            if isinstance(args, (list, tuple)) and args:
                return os.fsdecode(args[0])
            if isinstance(args, (str, bytes)) and args.split():
                return os.fsdecode(args.split()[0])
        tb = tb.tb_next
    return None


def _cannot_run(tool, error):
    reason = error.strerror or str(error)
    package = _PACKAGES.get(os.path.basename(tool))
    if package is not None and sys.platform.startswith("linux"):
        return f"cannot run {tool}: {reason} ({tool} comes with {package})"
    return f"cannot run {tool}: {reason}"


def _cannot_write(error):
    if isinstance(error, UnicodeEncodeError):
        return (f"cannot write output: {error} (the locale's encoding is {error.encoding};"
                " a UTF-8 locale or PYTHONUTF8=1 writes it)")
    return f"cannot write output: {error}"


def _quiet_stdout():
    # What is still buffered would fail again when the interpreter flushes at exit,
    # with a message of its own; let it go to the null device instead. A stream with
    # no descriptor of its own (in-process callers) is left as it is.
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, fd)
    finally:
        os.close(devnull)


def _show_traceback(options, error, tb):
    wanted = options is not None and options.traceback
    if wanted or os.environ.get("VSN_TRACEBACK", "") not in ("", "0"):
        import traceback

        traceback.print_exception(type(error), error, tb)


def main(argv=None):
    args = sys.argv[1:] if argv is None else list(argv)
    options = _parse(args) if args else None
    if sys.stdout is None:
        _complain("cannot write output: standard output is closed")
        return 1
    try:
        return _write(options, _Output(sys.stdout))
    except _WriteFailed as failed:
        error = failed.error
        if isinstance(error, OSError):
            _quiet_stdout()
        # From the command down to the failed write, the module's entries between.
        _show_traceback(options, error, failed.__traceback__)
        if isinstance(error, BrokenPipeError):
            return 1
        _complain(_cannot_write(error))
        return 1
    except KeyboardInterrupt as interrupt:
        _show_traceback(options, interrupt, interrupt.__traceback__)
        return INTERRUPTED
    except OSError as error:
        tool = _tool_of(error)
        if tool is None:
            raise
        _show_traceback(options, error, error.__traceback__)
        _complain(_cannot_run(tool, error))
        return 1


def console():
    """The entry of the console script, whose process is the command's own."""
    # What exists by now (the interpreter's start-up, pip's wrapper and its re, the
    # modules) lives until the process ends. Left to the cycle collector, it would be
    # walked again by each collection of the run and by those at exit, some 8 % of the
    # process's instructions on 3.9; frozen, it is left alone. main() itself changes
    # nothing of the interpreter, for callers in their own process.
    gc.freeze()
    return main()


if __name__ == "__main__":
    sys.exit(console())
