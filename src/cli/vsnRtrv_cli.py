"""The ``vsnRtrv`` command: prints one line per drive of this machine.

pip writes the command itself for whichever interpreter the wheel is installed into;
this module only starts the extension's own entry. An exception is left to the
interpreter, so its traceback, with the module's entries, and exit status 1 are what a
failure shows.
"""

import vsnRtrv


def main():
    vsnRtrv._main()
    return 0
