"""The ``vsnRtrv`` command: prints one line per drive of this machine, or JSON.

pip writes the command itself for whichever interpreter the wheel is installed into;
this module parses the options and leaves the work to the extension (``_main`` for the
text, the records of ``rtrvDriveInfo`` for JSON). A failure in the extension is left to
the interpreter, so its traceback, with the module's entries, and exit status 1 are what
it shows. Output that cannot be written is reported in one line, also with status 1, as
the usual command-line tools do; a reader that stops early (``vsnRtrv | head -1``) ends
the command quietly.
"""

import argparse
import contextlib
import json
import os
import sys
from importlib import metadata

import vsnRtrv

PROG = "vsnRtrv"


class _WriteFailed(Exception):
    """Carries an error of standard output through the extension, which catches nothing."""

    def __init__(self, error):
        super().__init__(error)
        self.error = error


class _Output:
    """Standard output for ``_main``, telling a failed write apart from a failed tool.

    A missing tool raises an OSError too; only errors raised here are output errors.
    """

    def __init__(self, stream):
        self._stream = stream

    def write(self, text):
        try:
            return self._stream.write(text)
        except OSError as error:
            raise _WriteFailed(error) from None

    def flush(self):
        try:
            self._stream.flush()
        except OSError as error:
            raise _WriteFailed(error) from None


def _version():
    try:
        return metadata.version(PROG)
    except metadata.PackageNotFoundError:
        return "unknown"


def _parser():
    # Help and version are printed here rather than by argparse, which would send them
    # to standard error when standard output is closed, and exit 0.
    parser = argparse.ArgumentParser(
        prog=PROG,
        add_help=False,
        description="Print the storage drives of this machine: name, mount path and "
        "identifier, one line per drive or as JSON.",
        epilog="Exit status: 0 on success; 1 when a tool fails, the platform is "
        "unsupported (--json), the output cannot be written or its reader stops early; "
        "2 for a usage error.",
    )
    parser.add_argument("-h", "--help", action="store_true", help="print this help and exit")
    parser.add_argument("--version", action="store_true", help="print the version and exit")
    parser.add_argument(
        "--json",
        action="store_true",
        help='print one JSON array of objects with the keys "drive", "path" and "vsn"',
    )
    return parser


def _complain(message):
    if sys.stderr is not None:
        print(f"{PROG}: {message}", file=sys.stderr)


def _write_json(out):
    found = vsnRtrv.rtrvDriveInfo(vsnRtrv.getPlatform())
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
    return 0


def _write(parser, options, out):
    if options.help:
        out.write(parser.format_help())
    elif options.version:
        out.write(f"{PROG} {_version()}\n")
    elif options.json:
        if _write_json(out):
            return 1
    else:
        with contextlib.redirect_stdout(out):
            vsnRtrv._main()
    out.flush()
    return 0


def main(argv=None):
    parser = _parser()
    options = parser.parse_args(argv)
    if sys.stdout is None:
        _complain("cannot write output: standard output is closed")
        return 1
    try:
        return _write(parser, options, _Output(sys.stdout))
    except _WriteFailed as failed:
        # What is still buffered would fail again when the interpreter flushes at
        # exit, with a message of its own; let it go to the null device instead.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        if isinstance(failed.error, BrokenPipeError):
            return 1
        _complain(f"cannot write output: {failed.error}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
