"""python -m dorv: the command line of :mod:`dorv.cli`."""

import os
import sys

from dorv.cli import main

if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:  # output piped into a program that stopped reading, like head
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
