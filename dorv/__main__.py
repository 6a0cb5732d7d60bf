"""python -m dorv: the command line of :mod:`dorv.cli`."""

import os
import sys

from dorv._rules import INTERRUPTED, INTERRUPTED_STATUS


def _exit(status: int) -> None:
    # Under `python -m`, CPython ends the process by SIGINT instead of with `status` when a
    # KeyboardInterrupt ended any evaluation of a string (dataclasses and namedtuple make their
    # methods that way), even one caught since; the next such evaluation clears that mark.
    eval("None")
    sys.exit(status)


try:
    from dorv.cli import main  # a second or two: scikit-learn and its stack load
except KeyboardInterrupt:
    if __name__ != "__main__":
        raise
    print(INTERRUPTED, file=sys.stderr)
    _exit(INTERRUPTED_STATUS)

if __name__ == "__main__":
    try:
        _exit(main())
    except BrokenPipeError:  # output piped into a program that stopped reading, like head
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
