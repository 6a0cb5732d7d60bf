"""The main job on a Parquet dataset, a folder of .parquet files: its rows are read by
``dask.dataframe.read_parquet`` and fitted where they are, on a local Dask cluster or on the
one at ``--scheduler``; the estimator chooses the degrees on a subsample and fits all rows on
the cluster (:mod:`dorv._model.distributed`), telling its passes on stderr.

Columns are named as for other tables, by header name or 0-based index; input columns must
hold numbers (dates are not read as years here).
"""

from __future__ import annotations

import contextlib
import os
import time
import warnings
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from dorv.estimator import DegreeLimitWarning, MDLPolynomialRegressor
from dorv.tables import InputError, model_columns, name_of, one_line, require

LOCAL_THREADS = 1  # threads per local worker: the parallelism is the workers'


@dataclass
class FolderData:
    """A Parquet folder's rows as Dask arrays, X (n, d) and y (n), and what the report says of
    them."""

    X: Any
    y: Any
    source: str
    x_names: list[str]
    y_name: str
    note: str = ""
    notes: list[str] = field(default_factory=list)
    dropped: int = 0


@dataclass
class FolderOutcome:
    data: FolderData
    model: MDLPolynomialRegressor
    max_degree: int
    where: str  # the cluster that fitted the rows
    seconds: float


def is_folder(path: str) -> bool:
    return Path(path).is_dir()


def read_folder(path: str, x_cols: list[str], y_col: str | None = None,
                dropna: bool = False) -> FolderData:
    """The input and target columns of the Parquet files of a folder, as Dask arrays chunked by
    the files' row groups; y_col None is the first column that is not an input."""
    dd = require("dask.dataframe", "reading a Parquet folder")
    require("pyarrow", "reading Parquet")
    try:
        frame = dd.read_parquet(path)
    except (OSError, ValueError, TypeError) as exc:
        raise InputError(f"cannot read the Parquet files of {path}: {one_line(str(exc))}") \
            from None
    empty = frame._meta
    inputs, target = model_columns(empty, path, x_cols, y_col)
    for c in [*inputs, target]:
        if empty[c].dtype.kind not in "biuf":
            raise InputError(f"{path}: column {name_of(c)!r} holds {empty[c].dtype}, not "
                             "numbers")
    frame = frame[[*inputs, target]]
    dropped = 0
    if dropna:
        before = frame.shape[0]
        frame = frame.dropna()
        rows, before = dask_compute(frame.shape[0], before)
        dropped = int(before - rows)
    X = frame[inputs].to_dask_array(lengths=True).astype("float64")
    y = frame[target].to_dask_array(lengths=True).astype("float64")
    return FolderData(X, y, path, [name_of(c) for c in inputs], name_of(target),
                      dropped=dropped)


def dask_compute(*values: Any) -> tuple[Any, ...]:
    import dask

    return tuple(dask.compute(*values))


@contextlib.contextmanager
def cluster(scheduler: str | None, workers: int | None) -> Iterator[str]:
    """A Dask client made current for the block: of the scheduler at `scheduler`, or of a local
    cluster of `workers` processes (default: the number of cores); yields where it runs."""
    distributed = require("distributed", "fitting a Parquet folder")
    if scheduler:
        try:
            client = distributed.Client(scheduler, timeout="10s", set_as_default=False)
        except (OSError, TimeoutError) as exc:
            raise InputError(f"cannot reach the scheduler at {scheduler}: {exc}") from exc
        with client, client.as_current():
            yield f"the cluster at {scheduler}"
        return
    n = workers or (len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity")
                    else os.cpu_count() or 1)
    # The scheduler's HTTP server (health and metrics, even without a dashboard) on a free port:
    # its default, 8787, may be another cluster's, and taking another one then warns.
    with distributed.LocalCluster(n_workers=n, threads_per_worker=LOCAL_THREADS,
                                  processes=True, dashboard_address=":0") as local, \
            distributed.Client(local, set_as_default=False) as client, client.as_current():
        yield f"a local Dask cluster of {n} worker process{'es' if n > 1 else ''}"


def run(data: FolderData, max_degree: int, gamma1: float, gamma2: float, seed: int,
        loss: str, where: str) -> FolderOutcome:
    """Fits the rows of the folder on the current Dask client, its passes told on stderr; a
    degree at max_degree becomes a note in the report instead of a warning."""
    model = MDLPolynomialRegressor(max_degree, loss=loss, gamma1=gamma1, gamma2=gamma2,
                                   random_state=seed, verbose=True)
    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DegreeLimitWarning)
        try:
            model.fit(data.X, data.y)
        except ValueError as e:
            raise InputError(f"{data.source}: {one_line(str(e))}") from None
    return FolderOutcome(data, model, max_degree, where, time.perf_counter() - start)

