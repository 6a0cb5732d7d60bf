"""python -m dorv: fit a smooth polynomial curve to (x, y) data, degree chosen by MDL."""

from __future__ import annotations

import argparse
import os
import sys
from importlib import resources
from pathlib import Path

from dorv import curvefit


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m dorv",
        description="Fit polynomials of degree 1 to --max-degree to noisy (x, y) data with "
        "smoothness penalties, pick the degree of lowest minimum description length (MDL, "
        "lower is better), refine it with the tournament MCMC sampler and print the table. "
        "Without --csv it runs on a sample shipped with the package.",
        epilog="python -m dorv batch --help: fit one model per group of a long table.",
    )
    p.add_argument("--csv", metavar="FILE", help="CSV file with the data (default: the sample)")
    p.add_argument("--x-col", default="0", metavar="COL",
                   help="x column: header name or 0-based index (default: 0)")
    p.add_argument("--y-col", default="1", metavar="COL",
                   help="y column: header name or 0-based index (default: 1)")
    p.add_argument("--delimiter", default=",", metavar="CHAR",
                   help="field separator (default: ',')")
    p.add_argument("--max-degree", type=int, default=12, metavar="D",
                   help="highest degree tried (default: 12)")
    p.add_argument("--gamma1", type=float, default=0.0, metavar="W",
                   help="weight of the first-derivative penalty (default: 0)")
    p.add_argument("--gamma2", type=float, default=1e-6, metavar="W",
                   help="weight of the second-derivative penalty (default: 1e-6)")
    p.add_argument("--seed", type=int, default=42, metavar="N", help="sampler seed (default: 42)")
    p.add_argument("--plot", metavar="FILE.png",
                   help="also draw the data and the fits into this PNG (needs matplotlib)")
    return p


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["batch"]:
        return batch_main(argv[1:])
    parser = _parser()
    args = parser.parse_args(argv)
    if not 1 <= args.max_degree <= 20:
        parser.error("--max-degree must be between 1 and 20")
    if not 0 <= args.seed < 2**64:
        parser.error("--seed must be between 0 and 2**64 - 1")
    for name in ("gamma1", "gamma2"):
        if not 0.0 <= getattr(args, name) < float("inf"):
            parser.error(f"--{name} must be a finite weight of 0 or more")
    if len(args.delimiter) != 1:
        parser.error("--delimiter must be one character")
    if args.plot:
        try:
            import matplotlib  # noqa: F401  (checked before the work, drawn after it)
        except ImportError:
            print("dorv: error: --plot needs matplotlib: pip install 'dorv[plot]'",
                  file=sys.stderr)
            return 1
    if args.plot and not Path(args.plot).resolve().parent.is_dir():
        print(f"dorv: error: cannot write {args.plot}: no such directory", file=sys.stderr)
        return 1
    try:
        if args.csv is None:
            with resources.as_file(resources.files("dorv") / curvefit.SAMPLE_CSV) as path:
                data = curvefit.read_xy(str(path), "x", "y")
            data.note = " (sample shipped with dorv)"
        else:
            data = curvefit.read_xy(args.csv, args.x_col, args.y_col, args.delimiter)
        outcome = curvefit.run(data, args.max_degree, args.gamma1, args.gamma2, args.seed)
        print(curvefit.report(outcome), end="")
        if args.plot:
            curvefit.plot(outcome, args.plot)
            print(f"plot written to {args.plot}")
    except curvefit.InputError as e:
        print(f"dorv: error: {e}", file=sys.stderr)
        return 1
    return 0


def batch_main(argv: list[str]) -> int:
    """python -m dorv batch: the job of dorv.batch, which needs the batch extra."""
    try:
        from dorv import batch
    except ImportError as e:
        print(f"dorv: error: {e}", file=sys.stderr)
        return 1
    return batch.main(argv)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:  # output piped into a program that stopped reading, like head
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
