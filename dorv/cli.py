"""The command line: ``python -m dorv`` fits a smooth polynomial curve or surface to data,
degrees chosen by MDL (:mod:`dorv.curvefit`); ``python -m dorv batch`` fits one model per group
of a long table (:mod:`dorv.batch`, which needs the batch extra).

Every error, bad options included, is one ``dorv: error:`` line and exit status 1; Ctrl-C is
one line and exit status 130. Files are written whole (`tables.written_whole`): a finished
one is never replaced by a partial one.
"""

from __future__ import annotations

import argparse
import contextlib
import inspect
import json
import os
import signal
import sys
import threading
import time
from collections.abc import Iterator
from importlib import resources
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn

from dorv import curvefit
from dorv._rules import INTERRUPTED, INTERRUPTED_STATUS, MAX_DEGREE
from dorv.estimator import MDLPolynomialRegressor
from dorv.tables import (InputError, decimal_years, distinct_parts, find_columns, is_parquet,
                         name_of, one_line, read_table, require, written_whole)

if TYPE_CHECKING:
    import pandas as pd

    from dorv.batch import BatchJob

DELIMITERS = {"\\t": "\t"}  # spelled as typed in a shell
# The job's defaults and choices are the estimator's own.
DEFAULTS = {name: p.default for name, p in
            inspect.signature(MDLPolynomialRegressor).parameters.items()}
GAMMA2 = DEFAULTS["gamma2"]
LOSSES = sorted(MDLPolynomialRegressor._parameter_constraints["loss"][0].options)


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # one line and status 1, as every other error
        self.exit(1, f"dorv: error: {message}\n")


def _parser() -> argparse.ArgumentParser:
    p = _Parser(
        prog="python -m dorv",
        description="Fit polynomials in one or several inputs to noisy data with smoothness "
        "penalties, choose their degrees by minimum description length (MDL, lower is better) "
        "judged on held-out points, refine the choice with the tournament MCMC sampler and "
        "print the candidates tried. Without --csv it runs on a sample shipped with the "
        "package. Errors are one 'dorv: error:' line and exit status 1; Ctrl-C is one line and "
        "exit status 130.",
        epilog="python -m dorv batch --help: fit one model per group of a long table.",
    )
    p.add_argument("--sample", choices=sorted(curvefit.SAMPLES), default="curve",
                   help="shipped sample to fit without --csv: 'curve' (y on x, 200 rows), "
                   "'glitches' (the curve with 30 glitched readings) or 'surface' (w on u and "
                   "v, 400 rows) (default: curve)")
    p.add_argument("--csv", metavar="FILE",
                   help="CSV file with the data, or Parquet when the name ends in .parquet or "
                   ".pq, or a folder of Parquet files, fitted on a Dask cluster (default: the "
                   "sample)")
    p.add_argument("--x-col", default="0", metavar="COL[,COL...]",
                   help="input columns, comma-separated: header names or 0-based indices "
                   "(default: 0)")
    p.add_argument("--y-col", metavar="COL",
                   help="target column: header name or 0-based index, not an input (default: "
                   "the first column that is not an input)")
    p.add_argument("--delimiter", metavar="CHAR",
                   help="field separator: one character, or '\\t' for a tab (default: guessed "
                   "from the first lines: comma, semicolon, tab or '|')")
    p.add_argument("--dropna", action="store_true",
                   help="leave out the rows that miss a value (an empty cell) in an input or the "
                   "target column, and say how many (default: such a row is an error)")
    p.add_argument("--max-degree", type=int, default=DEFAULTS["max_degree"], metavar="D",
                   help=f"highest degree tried for each input, 1 to {MAX_DEGREE} (default: "
                   f"{DEFAULTS['max_degree']})")
    p.add_argument("--gamma1", type=float, default=DEFAULTS["gamma1"], metavar="W",
                   help="weight of the first-derivative penalty, finite and 0 or more "
                   f"(default: {DEFAULTS['gamma1']:g})")
    p.add_argument("--gamma2", type=float, default=GAMMA2, metavar="W",
                   help="weight of the second-derivative penalty, finite and 0 or more "
                   f"(default: {GAMMA2:g})")
    p.add_argument("--loss", choices=LOSSES, default=DEFAULTS["loss"],
                   help="'biweight': robust fits, through gross outliers, which the report "
                   "counts and the plot marks; 'squared_error': penalised least squares; "
                   "'auto': the robust fit, or least squares where it fits the held-out rows "
                   f"as well (default: {DEFAULTS['loss']})")
    p.add_argument("--seed", type=int, default=42, metavar="N",
                   help="sampler seed, 0 to 2**64 - 1 (default: 42)")
    p.add_argument("--verbose", action="store_true",
                   help="also print the sampler's Gibbs summary of its warm-up energies")
    p.add_argument("--workers", type=int, metavar="N",
                   help="with a Parquet folder: worker processes of the local Dask cluster, 1 or "
                   "more (default: the number of cores)")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="with a Parquet folder: address of a Dask scheduler (e.g. "
                   "tcp://10.0.0.5:8786) whose workers fit the rows instead of a local cluster")
    p.add_argument("--plot", metavar="FILE.png",
                   help="also draw the data and the fit into this image (needs matplotlib; "
                   "'.png' is added to a name without an image extension) and print its name: "
                   "curves for one input, the surface and its residuals for two, predicted "
                   "against observed for more")
    return p


def _check(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if not 1 <= args.max_degree <= MAX_DEGREE:
        parser.error(f"--max-degree must be between 1 and {MAX_DEGREE}, got {args.max_degree}")
    if not 0 <= args.seed < 2**64:
        parser.error(f"--seed must be between 0 and 2**64 - 1, got {args.seed}")
    for name in ("gamma1", "gamma2"):
        if not 0.0 <= getattr(args, name) < float("inf"):
            parser.error(f"--{name} must be a finite weight of 0 or more, got "
                         f"{getattr(args, name)}")
    if args.delimiter is not None:
        args.delimiter = DELIMITERS.get(args.delimiter, args.delimiter)
        if len(args.delimiter) != 1:
            parser.error("--delimiter must be one character, or '\\t' for a tab")
    args.x_col = _listed(args.x_col)
    if not all(args.x_col):
        parser.error("--x-col must name one or more columns, separated by commas")
    if args.plot and not Path(args.plot).resolve().parent.is_dir():
        parser.error(f"cannot write {args.plot}: no such directory")
    folder = args.csv is not None and Path(args.csv).is_dir()
    if (args.workers is not None or args.scheduler) and not folder:
        parser.error("--workers and --scheduler are for a folder of Parquet files given by --csv")
    if folder and args.plot:
        parser.error("--plot draws data held in memory, not a Parquet folder's rows")
    if args.workers is not None and args.workers < 1:
        parser.error(f"--workers must be 1 or more, got {args.workers}")
    if args.workers is not None and args.scheduler:
        parser.error("--workers and --scheduler exclude each other: the cluster has its workers")


def _listed(text: str) -> list[str]:
    return [item.strip() for item in text.split(",")]


def main(argv: list[str] | None = None) -> int:
    """``python -m dorv``; returns the exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["batch"]:
        return batch_main(argv[1:])
    written: list[str] = []
    try:
        return _fit_job(argv, written)
    except KeyboardInterrupt:
        plot = "--plot" in argv or any(a.startswith("--plot=") for a in argv)
        print(INTERRUPTED + ("; no plot written" if plot and not written else ""),
              file=sys.stderr)
        return INTERRUPTED_STATUS


def _fit_job(argv: list[str], written: list[str]) -> int:
    """The fitting job; the names of the files it wrote go into `written`."""
    parser = _parser()
    args = parser.parse_args(argv)
    _check(parser, args)
    try:
        if args.plot:
            try:
                import matplotlib  # noqa: F401  (checked before the work, drawn after it)
            except ImportError:
                raise ImportError("--plot needs matplotlib: pip install 'dorv[plot]'") from None
        if args.csv is not None and Path(args.csv).is_dir():
            return _folder_job(args)
        if args.csv is None:
            name, x_cols, y_col = curvefit.SAMPLES[args.sample]
            with resources.as_file(resources.files("dorv") / name) as path:
                data = curvefit.read_columns(str(path), x_cols, y_col)
            data.note = f" (sample shipped with dorv: --sample {args.sample})"
        else:
            data = curvefit.read_columns(args.csv, args.x_col, args.y_col, args.delimiter,
                                         args.dropna)
        outcome = curvefit.run(data, args.max_degree, args.gamma1, args.gamma2, args.seed,
                               args.loss)
        print(curvefit.report(outcome, args.verbose), end="")
        if args.plot:
            image = _image_name(args.plot)
            with written_whole(image) as temporary:
                curvefit.plot(outcome, temporary)
            written.append(image)
            print(f"plot written to {image}")
    except (InputError, ImportError) as e:
        print(f"dorv: error: {e}", file=sys.stderr)
        return 1
    return 0


def _folder_job(args: argparse.Namespace) -> int:
    """The fit of a folder of Parquet files on a Dask cluster (:mod:`dorv.folder`)."""
    from dorv import folder
    from dorv.report import distributed_report

    with folder.cluster(args.scheduler, args.workers) as where:
        data = folder.read_folder(args.csv, args.x_col, args.y_col, args.dropna)
        outcome = folder.run(data, args.max_degree, args.gamma1, args.gamma2, args.seed,
                             args.loss, where)
        print(distributed_report(outcome), end="")
    return 0


def _image_name(path: str) -> str:
    """The name --plot writes: ".png" added to a name without an image extension that
    matplotlib knows."""
    from matplotlib.backend_bases import FigureCanvasBase

    known = FigureCanvasBase.get_supported_filetypes()
    return path if Path(path).suffix.lower()[1:] in known else path + ".png"


# ----------------------------------------------------------------------------------------------
# python -m dorv batch


def _batch_parser() -> argparse.ArgumentParser:
    p = _Parser(
        prog="python -m dorv batch",
        description="Fit a polynomial of MDL-chosen degree to every group of a long table (one "
        "row per observation) and write one row per group: the group key, n, degrees, mdl, "
        "hit_rate, rms, scale, n_outliers, coef, x_center, x_scale, error and warning. Runs on "
        "local worker processes, or on a Dask cluster with --scheduler. Input columns of dates "
        "(ISO 8601) are fitted as decimal years. Ctrl-C writes the rows finished so far (exit "
        "status 130): to --out if no file is there, else beside it (FILE.partial.csv), leaving "
        "the file there as it was. Errors are one 'dorv: error:' line and exit status 1.",
    )
    p.add_argument("--csv", metavar="FILE", required=True,
                   help="input table: CSV, or Parquet when the name ends in .parquet or .pq")
    p.add_argument("--group-col", metavar="COL[,COL...]", required=True,
                   help="group column(s): header names or 0-based indices, comma-separated")
    p.add_argument("--x-col", metavar="COL[,COL...]", required=True,
                   help="input column(s) of each fit, comma-separated")
    p.add_argument("--y-col", metavar="COL", required=True, help="target column")
    p.add_argument("--weight-col", metavar="COL",
                   help="column of non-negative sample weights of the fits (precision weights; "
                   "rows of weight 0 are left out) (default: all 1)")
    p.add_argument("--out", metavar="FILE", required=True,
                   help="result table: .csv, or .parquet / .pq")
    p.add_argument("--workers", type=int, metavar="N",
                   help="local worker processes, 1 or more; 1 fits in this process "
                   "(default: the number of cores)")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="address of a Dask scheduler (e.g. tcp://10.0.0.5:8786) to fit on its "
                   "workers instead of local processes")
    return p


def batch_main(argv: list[str]) -> int:
    """``python -m dorv batch``; returns the exit status."""
    try:
        return _batch_job(argv)
    except KeyboardInterrupt:  # before the fits started: they keep what they finished
        print(f"{INTERRUPTED} before any group was fitted; nothing written", file=sys.stderr)
        return INTERRUPTED_STATUS


def _batch_job(argv: list[str]) -> int:
    parser = _batch_parser()
    args = parser.parse_args(argv)
    if args.workers is not None and args.workers < 1:
        parser.error(f"--workers must be 1 or more, got {args.workers}")
    if args.workers is not None and args.scheduler:
        parser.error("--workers and --scheduler exclude each other: the cluster has its workers")
    if not args.out.lower().endswith(".csv") and not is_parquet(args.out):
        parser.error(f"--out must end in .csv, .parquet or .pq, got {args.out}")
    if not Path(args.out).resolve().parent.is_dir():
        parser.error(f"cannot write {args.out}: no such directory")
    client = None
    try:
        from dorv import batch

        progress = sys.stderr.isatty()
        if progress:
            require("tqdm", "the progress bar")
        if is_parquet(args.out):
            require("pyarrow", "writing Parquet")
        data = read_table(args.csv)
        parts = {option: find_columns(data, option, _listed(listed))
                 for option, listed in (("--group-col", args.group_col),
                                        ("--x-col", args.x_col), ("--y-col", args.y_col),
                                        ("--weight-col", args.weight_col))
                 if listed is not None}
        distinct_parts(parts)
        data, dated = _dates_as_years(data, parts["--x-col"], args.csv)
        if args.scheduler:
            client = _connect(args.scheduler)
        weight = parts.get("--weight-col", [None])[0]
        job = batch.BatchJob(data, parts["--group-col"], parts["--x-col"], *parts["--y-col"],
                             weight=weight, n_jobs=None if client else args.workers,
                             client=client)
        return _run_job(job, args, progress, dated)
    except (InputError, ImportError, ValueError) as exc:
        print(f"dorv: error: {one_line(str(exc))}", file=sys.stderr)
        return 1
    finally:
        if client is not None:
            with _sigint_ignored():
                client.close()


def _dates_as_years(data: pd.DataFrame, inputs: list[Any], path: str
                    ) -> tuple[pd.DataFrame, list[str]]:
    """The table with its input columns of dates as decimal years, and their names."""
    dated: list[str] = []
    for c in inputs:
        years = decimal_years(data[c], path)
        if years is not None:
            data = data.copy() if not dated else data
            data[c] = years
            dated.append(name_of(c))
    return data, dated


def _connect(address: str) -> Any:
    distributed = require("distributed", "--scheduler")
    try:
        return distributed.Client(address, timeout="10s", set_as_default=False)
    except (OSError, TimeoutError) as exc:
        raise InputError(f"cannot reach the scheduler at {address}: {exc}") from exc


def _run_job(job: BatchJob, args: argparse.Namespace, progress: bool, dated: list[str]) -> int:
    from dorv.batch import TUPLE_COLUMNS

    rows: list[tuple[int, dict[str, Any]]] = []
    status, stopped = 0, ""
    start = time.perf_counter()
    try:
        job.run(rows, progress=progress)
    except KeyboardInterrupt:
        status = INTERRUPTED_STATUS
    except Exception as exc:  # a lost worker: keep what finished, then say why it stopped
        status, stopped = 1, f"stopped by {type(exc).__name__}: {one_line(str(exc))}"
    elapsed = time.perf_counter() - start
    # The rows of an unfinished job go to --out only where they replace no file there.
    out = args.out if status == 0 or not os.path.exists(args.out) else partial_name(args.out)
    kept = "" if out == args.out else f" ({args.out} left as it was)"
    with _sigint_ignored():  # a second Ctrl-C does not stop the rows finished so far
        table = job.table(rows)
        _write_results(table, out, TUPLE_COLUMNS)
    failed = int((table["error"] != "").sum())
    where = (f"the cluster at {args.scheduler}" if args.scheduler else "this process"
             if job.local else f"{job.workers} local processes")
    rate = f" ({len(rows) / elapsed:.3g} groups/s)" if elapsed > 0 else ""
    years = f"; {', '.join(map(repr, dated))} read as decimal years" if dated else ""
    if status == INTERRUPTED_STATUS:
        print(f"interrupted: {len(rows)} of {len(job.keys)} groups, {failed} failed, "
              f"{elapsed:.1f} s -> {out}{kept}{years}")
    elif stopped:
        print(f"dorv: error: {stopped}; {len(rows)} of {len(job.keys)} groups written to "
              f"{out}{kept}", file=sys.stderr)
    else:
        print(f"{len(rows)} groups, {failed} failed, {elapsed:.1f} s{rate} on {where} "
              f"-> {out}{years}")
    return status


def partial_name(path: str) -> str:
    """Where the rows of an unfinished batch go when `path` exists: fits.csv -> fits.partial.csv."""
    p = Path(path)
    return str(p.with_name(f"{p.stem}.partial{p.suffix}"))


def _write_results(table: pd.DataFrame, path: str, tuple_columns: tuple[str, ...]) -> None:
    try:
        with written_whole(path) as temporary:
            if is_parquet(path):
                table.to_parquet(temporary, index=False)
                return
            # Tuples as JSON lists, which any CSV reader's user can parse; floats keep every
            # digit.
            out = table.copy()
            for c in tuple_columns:
                out[c] = [json.dumps(list(v)) if v is not None else "" for v in out[c]]
            out.to_csv(temporary, index=False)
    except OSError as exc:
        raise InputError(f"cannot write {path}: {exc.strerror or exc}") from exc


@contextlib.contextmanager
def _sigint_ignored() -> Iterator[None]:
    if threading.current_thread() is not threading.main_thread():  # only it gets signals
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
