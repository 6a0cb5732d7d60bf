"""Fit one model per group of a long table, in this process, on local processes or on Dask.

A calibration curve per sensor, a growth curve per sample, a trend per store: `fit_groups`
splits a long-form DataFrame (one row per observation) by its group column(s) and fits a clone
of an estimator to each group. The groups travel to the workers in chunks of a few groups,
through the executor interface: `concurrent.futures.ProcessPoolExecutor` for local processes,
a `dask.distributed.Client` for a cluster. Only a few chunks are in flight at any time, so the
caller holds the input frame, the result rows and those chunks, nothing more.

Every group's fit is seeded from the estimator's `random_state` and a stable hash of the group
key, so a group's row depends on its rows, its key and `random_state` only: not on how the rows
of the groups are interleaved, on the chunking, on the number of workers or on which worker ran
it.

``python -m dorv batch`` (:mod:`dorv.cli`) is the command-line form.
"""

from __future__ import annotations

import concurrent.futures as cf
import contextlib
import hashlib
import math
import os
import signal
import sys
import threading
import warnings
from collections.abc import Callable, Iterator, Sequence
from typing import Any

import numpy as np
from sklearn.base import clone
from sklearn.utils import check_random_state
from threadpoolctl import threadpool_limits

from dorv.estimator import MDLPolynomialRegressor
from dorv.tables import INSTALL_HINT, one_line, require

try:
    import pandas as pd
except ImportError as exc:  # one line that says what to install
    raise ImportError(f"dorv's batch job needs pandas: {INSTALL_HINT}") from exc

# The columns of a result row after the group key(s).
RESULT_COLUMNS = ("n", "degrees", "mdl", "hit_rate", "rms", "scale", "n_outliers", "coef",
                  "x_center", "x_scale", "error", "warning")
TUPLE_COLUMNS = ("degrees", "coef", "x_center", "x_scale")  # those that hold tuples
# A chunk sent to a worker holds up to this many groups, fewer when that would leave too few
# chunks to spread over the workers, and stops growing once it holds this many rows.
CHUNK_GROUPS = 16
CHUNK_ROWS = 50_000
CHUNKS_PER_WORKER = 4  # chunks per worker to aim for, so that the last ones balance the load
IN_FLIGHT_PER_WORKER = 2  # chunks submitted ahead of the results per worker
POLL_S = 0.1  # how often a wait for the workers looks for Ctrl-C

# One group on its way to a worker: its position in the result, its seed (None when the
# estimator takes none), its inputs X (n, d), its targets y (n) and its sample weights (n) or
# None, as they stand in the frame.
Group = tuple[int, int | None, np.ndarray, np.ndarray, np.ndarray | None]


# ----------------------------------------------------------------------------------------------
# The library call


def fit_groups(data: pd.DataFrame, by: str | Sequence[str], x: str | Sequence[str], y: str, *,
               weight: str | None = None, estimator: Any = None, n_jobs: int | None = None,
               client: Any = None, progress: bool = False) -> pd.DataFrame:
    """Fit a clone of `estimator` to each group of a long table; one result row per group.

    Parameters
    ----------
    data : pandas.DataFrame
        Long form: one row per observation. The rows of a group need not be adjacent; its fit
        sees them in their order in `data`.
    by : str or list of str
        The group column(s).
    x : str or list of str
        The input column(s); each group is fitted on X of shape (rows of the group, len(x)).
    y : str
        The target column.
    weight : str, optional
        A column of sample weights, passed to each fit as ``sample_weight``.
    estimator : scikit-learn regressor, default ``MDLPolynomialRegressor()``
        Each group gets a clone. If it has a `random_state` parameter, the clone's is set to a
        seed derived from the estimator's `random_state` and the group key (`group_seed`);
        None counts as a value there, so the seeds are fixed then too, and a RandomState
        instance gives one draw for the whole batch.
    n_jobs : int, default the number of cores
        1 fits in the calling process; k fits on k local worker processes.
    client : dask.distributed.Client, optional
        Fit on that cluster instead of local processes (do not pass `n_jobs` with it).
    progress : bool, default False
        Show a progress bar on stderr (needs tqdm).

    Returns
    -------
    pandas.DataFrame
        One row per group, ordered by group key: the key column(s), then `n` (rows of the
        group) and the fitted `degrees_`, `mdl_`, `hit_rate_`, `rms_` (residual RMS), `scale_`
        (noise sd of the inliers), `coef_`, `x_center_` and `x_scale_` of its model under
        those names without the underscore (tuples for the arrays; None or NaN where the
        estimator has no such attribute), `n_outliers` (after `scale`: the points outside
        its `inlier_mask_`, a nullable integer, NA where there is none), then
        `error` and `warning`. A group whose fit raised has its error text (exception type and
        message) in `error` and None or NaN in the fitted columns; `warning` holds the
        warnings its fit gave. Both are empty strings otherwise. With the default estimator
        the model of a row is y = sum_m coef[m] prod_j t_j ** m_j over the multi-indices m of
        `degrees` in lexicographic order, t_j = (x_j - x_center[j]) / x_scale[j].

    Each fit runs on one thread; the parallelism is the workers'. The fitted values do not
    depend on who ran a fit. A local worker process that dies stops the call with
    `concurrent.futures.process.BrokenProcessPool`; on a Dask cluster, Dask runs the chunks of
    a lost worker again elsewhere.
    """
    rows: list[tuple[int, dict[str, Any]]] = []
    job = BatchJob(data, by, x, y, weight=weight, estimator=estimator, n_jobs=n_jobs,
                   client=client)
    job.run(rows, progress=progress)
    return job.table(rows)


def group_seed(random_state: int | None, key: tuple[Any, ...]) -> int:
    """Seed in [0, 2**32) of the group `key`: a hash of `random_state` and the key's text.

    BLAKE2b of their repr, so that it is the same in every process and on every machine
    (Python's own `hash` of a str differs between processes).
    """
    text = repr((random_state, tuple(_plain(k) for k in key)))
    return int.from_bytes(hashlib.blake2b(text.encode(), digest_size=4).digest(), "little")


def _plain(value: Any) -> Any:
    """NumPy scalars as the Python values they hold, whose repr does not change with NumPy."""
    return value.item() if isinstance(value, np.generic) else value


def _columns(data: pd.DataFrame, name: str, value: Any) -> list[str]:
    cols = [value] if isinstance(value, str) else list(value)
    if not cols:
        raise ValueError(f"{name}: expected at least one column, got none")
    for c in cols:
        if c not in data.columns:
            shown = ", ".join(map(str, data.columns[:20]))
            raise ValueError(f"{name}: no column {c!r} in data (columns: {shown})")
    return cols


def _workers(n_jobs: int | None, client: Any) -> int:
    if client is not None:
        if n_jobs is not None:
            raise ValueError(f"n_jobs: pass either n_jobs or client, got n_jobs={n_jobs!r} "
                             "and a client")
        return max(1, sum(client.nthreads().values()))
    if n_jobs is None:
        return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else \
            os.cpu_count() or 1
    if isinstance(n_jobs, bool) or not isinstance(n_jobs, (int, np.integer)) or n_jobs < 1:
        raise ValueError(f"n_jobs: expected None or a whole number of at least 1, got {n_jobs!r}")
    return int(n_jobs)


class BatchJob:
    """The groups of a long table, their seeds and the runner of their fits.

    `run` appends ``(position, row)`` pairs to a list as the fits finish, so that a caller that
    is interrupted keeps the rows finished so far; `table` turns them into the result frame.
    """

    def __init__(self, data: pd.DataFrame, by: str | Sequence[str], x: str | Sequence[str],
                 y: str, *, weight: str | None = None, estimator: Any = None,
                 n_jobs: int | None = None, client: Any = None) -> None:
        if not isinstance(data, pd.DataFrame):
            raise TypeError(f"data: expected a pandas DataFrame, got {type(data).__name__}")
        self.by = _columns(data, "by", by)
        self.x = _columns(data, "x", x)
        if not isinstance(y, str):
            raise ValueError(f"y: expected one column name, got {y!r}")
        (self.y,) = _columns(data, "y", y)
        self.weight = None if weight is None else _columns(data, "weight", [weight])[0]
        overlap = (set(self.by) & set(self.x)) | ({self.y} & set(self.by + self.x))
        if self.weight is not None:
            overlap |= {self.weight} & set(self.by + self.x + [self.y])
        if overlap:
            raise ValueError(f"by, x, y, weight: a column can play one part only, got {sorted(overlap)} "
                             "in more than one")
        self.estimator = MDLPolynomialRegressor() if estimator is None else estimator
        self.workers = _workers(n_jobs, client)
        self.client = client
        self.local = client is None and self.workers == 1

        groups = data.groupby(self.by, sort=True, dropna=False, observed=True)
        codes = groups.ngroup().to_numpy()
        sizes = groups.size()
        self.keys = [k if isinstance(k, tuple) else (k,) for k in sizes.index]
        self.order = np.argsort(codes, kind="stable")  # rows of group 0, then group 1, ...
        self.starts = np.concatenate([[0], np.cumsum(sizes.to_numpy())])
        self.columns = [_values(data[c]) for c in self.x]  # views of numeric columns
        self.target = _values(data[self.y])
        self.weights = None if self.weight is None else _values(data[self.weight])
        self.seeds = self._seeds()

    def _seeds(self) -> list[int | None]:
        params = self.estimator.get_params(deep=False)
        if "random_state" not in params:
            return [None] * len(self.keys)
        base = params["random_state"]
        if base is not None and not isinstance(base, (int, np.integer)):
            base = int(check_random_state(base).randint(2**31 - 1))  # draws once, here
        base = None if base is None else int(base)
        return [group_seed(base, key) for key in self.keys]

    def chunk_groups(self) -> int:
        if self.local:  # no transport to pay for: every finished fit is kept at once
            return 1
        aim = math.ceil(len(self.keys) / (CHUNKS_PER_WORKER * self.workers))
        return max(1, min(CHUNK_GROUPS, aim))

    def chunks(self) -> Iterator[list[Group]]:
        """The groups in chunks, each made when it is about to be sent."""
        limit, chunk, rows = self.chunk_groups(), [], 0
        for i in range(len(self.keys)):
            take = self.order[self.starts[i]:self.starts[i + 1]]
            X = np.column_stack([col[take] for col in self.columns])
            w = None if self.weights is None else self.weights[take]
            chunk.append((i, self.seeds[i], X, self.target[take], w))
            rows += take.size
            if len(chunk) == limit or rows >= CHUNK_ROWS:
                yield chunk
                chunk, rows = [], 0
        if chunk:
            yield chunk

    def run(self, rows: list[tuple[int, dict[str, Any]]], progress: bool = False) -> None:
        """Fit every group; append each finished ``(position, row)`` to `rows`."""
        with HeldInterrupt() as interrupt:
            bar = _progress_bar(len(self.keys)) if progress else None

            def collect(done: list[tuple[int, dict[str, Any]]]) -> None:
                rows.extend(done)
                if bar is not None:
                    bar.update(len(done))

            try:
                if self.local:
                    with threadpool_limits(limits=1):  # OpenMP and BLAS, as they were after it
                        for chunk in self.chunks():
                            with interrupt.released():  # a long fit stops on Ctrl-C
                                done = fit_chunk(self.estimator, chunk)
                            collect(done)
                else:
                    self._run_on_executor(collect, interrupt)
            finally:
                if bar is not None:
                    bar.close()

    def _run_on_executor(self, collect: Callable[[list[Any]], None],
                         interrupt: HeldInterrupt) -> None:
        if self.client is not None:
            executor = self.client.get_executor(pure=False)
        else:
            workers = min(self.workers, math.ceil(len(self.keys) / self.chunk_groups()) or 1)
            executor = cf.ProcessPoolExecutor(workers, initializer=_start_worker)
        finished = False
        try:
            window = IN_FLIGHT_PER_WORKER * self.workers
            pending: set[cf.Future[Any]] = set()
            for chunk in self.chunks():
                if len(pending) >= window:
                    pending = _collect_first(pending, collect, interrupt)
                pending.add(executor.submit(fit_chunk, self.estimator, chunk))
            while pending:
                pending = _collect_first(pending, collect, interrupt)
            finished = True
        finally:
            _stop(executor, finished)

    def table(self, rows: list[tuple[int, dict[str, Any]]]) -> pd.DataFrame:
        """The result frame of the finished rows, ordered by group key."""
        rows = sorted(rows, key=lambda r: r[0])
        keys = pd.DataFrame([self.keys[i] for i, _ in rows], columns=self.by)
        results = pd.DataFrame([r for _, r in rows], columns=list(RESULT_COLUMNS))
        results["n_outliers"] = results["n_outliers"].astype("Int64")  # NA where there is none
        return pd.concat([keys, results], axis=1)


def _values(column: pd.Series) -> np.ndarray:
    """A column's values; pandas' nullable numbers (Int64 of a column with gaps) as float64,
    NaN in the gaps."""
    if isinstance(column.dtype, pd.api.extensions.ExtensionDtype) and \
            pd.api.types.is_numeric_dtype(column.dtype):
        return column.to_numpy(dtype=np.float64, na_value=np.nan)
    return column.to_numpy()


def _stop(executor: cf.Executor, finished: bool) -> None:
    """Shut the executor down; after a failure or an interrupt, drop the chunks not started."""
    if finished:
        executor.shutdown(wait=True)
    elif isinstance(executor, cf.ProcessPoolExecutor):
        executor.shutdown(wait=True, cancel_futures=True)  # the running chunks end within seconds
    else:
        executor.shutdown(wait=False)  # a Dask executor cancels its futures


def _collect_first(pending: set[cf.Future[Any]], collect: Callable[[list[Any]], None],
                   interrupt: HeldInterrupt) -> set[cf.Future[Any]]:
    """Wait for the first of `pending` to finish, collect the finished ones; the others.

    The wait looks for a held-back Ctrl-C every `POLL_S` seconds.
    """
    while True:
        done, others = cf.wait(pending, timeout=POLL_S, return_when=cf.FIRST_COMPLETED)
        interrupt.check()
        if done:
            break
    for future in done:
        collect(future.result())
    return others


class HeldInterrupt:
    """Ctrl-C held back: while entered, SIGINT is noted instead of raising KeyboardInterrupt
    wherever the main thread happens to be; `check` raises it, and so does the exit.

    A KeyboardInterrupt raised inside `concurrent.futures.wait`, which takes the futures' locks
    one by one, can leave one of them taken: the executor's manager thread then blocks on it
    and the shutdown waits for ever. The progress bar takes its locks the same way. Only the
    main thread gets signals and only Python's default handler raises; otherwise this holds
    nothing back.
    """

    def __init__(self) -> None:
        self.caught = False
        self.previous: Any = None

    def __enter__(self) -> HeldInterrupt:
        if (threading.current_thread() is threading.main_thread()
                and signal.getsignal(signal.SIGINT) is signal.default_int_handler):
            self.previous = signal.signal(signal.SIGINT, self._note)
        return self

    def __exit__(self, kind: Any, *_: Any) -> None:
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)
            self.previous = None
        if kind is None:
            self.check()

    def _note(self, signum: int, frame: Any) -> None:
        self.caught = True

    def check(self) -> None:
        if self.caught:
            self.caught = False
            raise KeyboardInterrupt

    @contextlib.contextmanager
    def released(self) -> Iterator[None]:
        """Within the block Ctrl-C raises where it lands, as usual."""
        self.check()
        if self.previous is None:
            yield
            return
        signal.signal(signal.SIGINT, self.previous)
        try:
            yield
        finally:
            signal.signal(signal.SIGINT, self._note)


def _progress_bar(total: int) -> Any:
    tqdm = require("tqdm", "the progress bar").tqdm
    return tqdm(total=total, unit="group", file=sys.stderr, smoothing=0.1)


def _start_worker() -> None:
    """Initialiser of a local worker process: one thread per fit; Ctrl-C is the parent's."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    threadpool_limits(limits=1)


# ----------------------------------------------------------------------------------------------
# What runs on a worker


def fit_chunk(estimator: Any, chunk: list[Group]) -> list[tuple[int, dict[str, Any]]]:
    """Fit a clone of `estimator` to each group of the chunk: ``(position, row)`` pairs."""
    return [(i, fit_group(estimator, seed, X, y, w)) for i, seed, X, y, w in chunk]


def fit_group(estimator: Any, seed: int | None, X: np.ndarray, y: np.ndarray,
              sample_weight: np.ndarray | None = None) -> dict[str, Any]:
    """The result row of one group: fitted values, or the error that stopped its fit."""
    model = clone(estimator)
    if seed is not None:
        model.set_params(random_state=seed)
    # Warnings are recorded the same way whatever the filters of the process running the fit.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            fit_args = {} if sample_weight is None else \
                {"sample_weight": np.asarray(sample_weight, dtype=np.float64)}
            model.fit(np.asarray(X, dtype=np.float64), np.asarray(y, dtype=np.float64),
                      **fit_args)
        except Exception as exc:  # the batch goes on; the row says what went wrong
            return dict(n=len(y), degrees=None, mdl=math.nan, hit_rate=math.nan, rms=math.nan,
                        scale=math.nan, n_outliers=None, coef=None, x_center=None,
                        x_scale=None,
                        error=one_line(f"{type(exc).__name__}: {exc}"),
                        warning=_warning_text(caught))
    return dict(
        n=len(y),
        degrees=_fitted(model, "degrees_", int),
        mdl=float(getattr(model, "mdl_", math.nan)),
        hit_rate=float(getattr(model, "hit_rate_", math.nan)),
        rms=float(getattr(model, "rms_", math.nan)),
        scale=float(getattr(model, "scale_", math.nan)),
        n_outliers=_outliers(model),
        coef=_fitted(model, "coef_", float),
        x_center=_fitted(model, "x_center_", float),
        x_scale=_fitted(model, "x_scale_", float),
        error="",
        warning=_warning_text(caught),
    )


def _outliers(model: Any) -> int | None:
    """Training points outside the model's ``inlier_mask_`` (None if it has none)."""
    mask = getattr(model, "inlier_mask_", None)
    return None if mask is None else int(np.size(mask) - np.count_nonzero(mask))


def _fitted(model: Any, name: str, kind: type) -> tuple[Any, ...] | None:
    """A fitted array attribute as a tuple of plain numbers (None if the model has none)."""
    value = getattr(model, name, None)
    return None if value is None else tuple(kind(v) for v in np.ravel(value))


def _warning_text(caught: list[warnings.WarningMessage]) -> str:
    texts = dict.fromkeys(one_line(f"{w.category.__name__}: {w.message}") for w in caught)
    return "; ".join(texts)
