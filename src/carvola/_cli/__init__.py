"""The carvola command: every capability of the package from the shell.

This file stays light: the command's modules (and Pillow, hashlib and the rest) load inside
`main`, so that a Ctrl-C that arrives while they load, or while the arguments are parsed,
ends the command like any other interruption: one line and exit status 130, no traceback.
"""

import sys


def main(argv=None):
    try:
        from .command import run

        return run(argv)
    except KeyboardInterrupt:  # while loading or parsing; the work handles its own
        print("carvola: interrupted", file=sys.stderr)
        return 130
