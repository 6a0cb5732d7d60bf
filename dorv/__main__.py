"""python -m dorv: fit a smooth polynomial curve or surface to data, degrees chosen by MDL."""

from __future__ import annotations

import argparse
import os
import sys
from importlib import resources
from pathlib import Path

from dorv import curvefit

MAX_DEGREE = 20
DELIMITERS = {"\\t": "\t"}  # spelled as typed in a shell


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m dorv",
        description="Fit polynomials in one or several inputs to noisy data with smoothness "
        "penalties, choose their degrees by minimum description length (MDL, lower is better) "
        "judged on held-out points, refine the choice with the tournament MCMC sampler and "
        "print the candidates tried. Without --csv it runs on a sample shipped with the "
        "package.",
        epilog="python -m dorv batch --help: fit one model per group of a long table.",
    )
    p.add_argument("--sample", choices=sorted(curvefit.SAMPLES), default="curve",
                   help="shipped sample to fit without --csv: 'curve' (y on x, 200 rows) or "
                   "'surface' (w on u and v, 400 rows) (default: curve)")
    p.add_argument("--csv", metavar="FILE", help="CSV file with the data (default: the sample)")
    p.add_argument("--x-col", default="0", metavar="COL[,COL...]",
                   help="input columns, comma-separated: header names or 0-based indices "
                   "(default: 0)")
    p.add_argument("--y-col", metavar="COL",
                   help="target column: header name or 0-based index (default: the first "
                   "column that is not an input)")
    p.add_argument("--delimiter", default=",", metavar="CHAR",
                   help="field separator: one character, or '\\t' for a tab (default: ',')")
    p.add_argument("--max-degree", type=int, default=12, metavar="D",
                   help=f"highest degree tried for each input, 1 to {MAX_DEGREE} (default: 12)")
    p.add_argument("--gamma1", type=float, default=0.0, metavar="W",
                   help="weight of the first-derivative penalty, finite and 0 or more "
                   "(default: 0)")
    p.add_argument("--gamma2", type=float, default=1e-6, metavar="W",
                   help="weight of the second-derivative penalty, finite and 0 or more "
                   "(default: 1e-6)")
    p.add_argument("--seed", type=int, default=42, metavar="N",
                   help="sampler seed, 0 to 2**64 - 1 (default: 42)")
    p.add_argument("--plot", metavar="FILE.png",
                   help="also draw the data and the fit into this PNG (needs matplotlib): "
                   "curves for one input, the surface and its residuals for two, predicted "
                   "against observed for more")
    return p


def _check(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if not 1 <= args.max_degree <= MAX_DEGREE:
        parser.error(f"--max-degree must be between 1 and {MAX_DEGREE}")
    if not 0 <= args.seed < 2**64:
        parser.error("--seed must be between 0 and 2**64 - 1")
    for name in ("gamma1", "gamma2"):
        if not 0.0 <= getattr(args, name) < float("inf"):
            parser.error(f"--{name} must be a finite weight of 0 or more")
    args.delimiter = DELIMITERS.get(args.delimiter, args.delimiter)
    if len(args.delimiter) != 1:
        parser.error("--delimiter must be one character, or '\\t' for a tab")
    args.x_col = [c.strip() for c in args.x_col.split(",")]
    if not all(args.x_col):
        parser.error("--x-col must name one or more columns, separated by commas")


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["batch"]:
        return batch_main(argv[1:])
    parser = _parser()
    args = parser.parse_args(argv)
    _check(parser, args)
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
            name, x_cols, y_col = curvefit.SAMPLES[args.sample]
            with resources.as_file(resources.files("dorv") / name) as path:
                data = curvefit.read_columns(str(path), x_cols, y_col)
            data.note = f" (sample shipped with dorv: --sample {args.sample})"
        else:
            data = curvefit.read_columns(args.csv, args.x_col, args.y_col, args.delimiter)
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
