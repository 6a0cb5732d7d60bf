"""fit_groups and python -m dorv batch: one fit per group, the same whoever runs it."""

import fcntl
import json
import os
import pty
import re
import select
import signal
import struct
import subprocess
import sys
import termios
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from distributed import Client, LocalCluster
from sklearn.base import clone
from sklearn.linear_model import Ridge

import dorv
from conftest import SANITIZED
from dorv import batch
from dorv.batch import RESULT_COLUMNS, fit_groups, group_seed
from dorv.cli import batch_main

N_SERIES = 240
BROKEN = "s013"  # one NaN target
NOISE = 0.05
# Worker processes run the same native calls as the fits in this process; the sanitizer run
# keeps to the latter.
in_processes = pytest.mark.skipif(SANITIZED, reason="fits in worker processes: not sanitized")


def make_long_table(n_series=N_SERIES, seed=1234):
    """Cubic-ish series of 20-40 points on their own x ranges, rows of all series shuffled."""
    rng = np.random.default_rng(seed)
    frames = []
    for i in range(n_series):
        n = int(rng.integers(20, 41))
        lo = rng.uniform(-5.0, 5.0)
        x = rng.uniform(lo, lo + rng.uniform(1.0, 10.0), n)
        t = (x - x.mean()) / np.ptp(x)
        y = np.polynomial.polynomial.polyval(t, rng.normal(size=4)) + NOISE * rng.normal(size=n)
        frames.append(pd.DataFrame({"series": f"s{i:03d}", "x": x, "y": y}))
    data = pd.concat(frames, ignore_index=True)
    data.loc[data.index[data["series"] == BROKEN][3], "y"] = np.nan
    return data.sample(frac=1.0, random_state=7).reset_index(drop=True)


@pytest.fixture(scope="module")
def long_table():
    return make_long_table()


@pytest.fixture(scope="module")
def reference(long_table):
    return fit_groups(long_table, "series", "x", "y", n_jobs=1)


@pytest.fixture(scope="module")
def client():
    # Any free port for the dashboard: with the tests spread over processes, two clusters may
    # start at once (None means the fixed default in older versions).
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster) as c:
        yield c


def rows_of(table, keys):
    return table.set_index("series").loc[keys].reset_index()


def test_one_row_per_group_in_key_order(long_table, reference):
    assert list(reference.columns) == ["series", *RESULT_COLUMNS]
    assert list(reference["series"]) == sorted(long_table["series"].unique())
    sizes = long_table.groupby("series").size()
    assert (reference["n"].to_numpy() == sizes.loc[reference["series"]].to_numpy()).all()
    broken = reference["series"] == BROKEN
    assert "NaN" in reference.loc[broken, "error"].item()
    assert reference.loc[broken, ["mdl", "hit_rate", "rms"]].isna().all(axis=None)
    good = reference[~broken]
    assert (good["error"] == "").all()
    assert all(len(c) == d[0] + 1 for c, d in zip(good["coef"], good["degrees"]))
    assert good["rms"].median() < 2 * NOISE  # cubics under noise of sd 0.05


@in_processes
def test_local_processes_give_the_same_table(long_table, reference):
    pd.testing.assert_frame_equal(fit_groups(long_table, "series", "x", "y", n_jobs=2), reference)


@in_processes
def test_dask_cluster_gives_the_same_table(long_table, reference, client):
    pd.testing.assert_frame_equal(fit_groups(long_table, "series", "x", "y", client=client),
                                  reference)


@in_processes
def test_worker_killed_during_a_run_loses_nothing(long_table, reference, client):
    client.wait_for_workers(2)
    pids = client.run(os.getpid)
    killed = []

    def kill_a_busy_worker():
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            busy = [w for w, tasks in client.processing().items() if tasks]
            if busy:
                os.kill(pids[busy[0]], signal.SIGKILL)
                killed.append(busy[0])
                return
            time.sleep(0.005)

    killer = threading.Thread(target=kill_a_busy_worker)
    killer.start()
    table = fit_groups(long_table, "series", "x", "y", client=client)
    killer.join()
    assert killed, "no worker was busy during the run"
    pd.testing.assert_frame_equal(table, reference)
    client.wait_for_workers(2)  # the nanny restarts the worker for later tests


def test_only_a_few_chunks_are_in_flight(long_table, monkeypatch):
    # Threads stand in for the worker processes, so that the chunks made can be counted.
    monkeypatch.setattr(batch.cf, "ProcessPoolExecutor", ThreadPoolExecutor)
    monkeypatch.setattr(batch, "_start_worker", lambda: None)
    job = batch.BatchJob(long_table, "series", "x", "y", estimator=Ridge(), n_jobs=2)
    rows, in_flight = [], []
    chunks = job.chunks

    def counted():
        for made, chunk in enumerate(chunks(), start=1):
            in_flight.append(made - len(rows) // job.chunk_groups())
            yield chunk

    monkeypatch.setattr(job, "chunks", counted)
    job.run(rows)
    assert len(rows) == N_SERIES and len(in_flight) == N_SERIES // job.chunk_groups()
    assert max(in_flight) <= batch.IN_FLIGHT_PER_WORKER * 2 + 1


def test_a_row_depends_on_its_group_only(long_table, reference):
    # A few groups fitted alone, their rows interleaved in another way (each group's own rows
    # in their order): the same rows as in the whole batch.
    keys = ["s200", "s005", "s117"]
    subset = long_table[long_table["series"].isin(keys)]
    subset = subset.sort_values("series", ascending=False, kind="stable")
    table = fit_groups(subset, "series", "x", "y", n_jobs=1)
    pd.testing.assert_frame_equal(table, rows_of(reference, sorted(keys)))


def test_a_row_is_the_estimators_fit_with_the_groups_seed(long_table, reference):
    # Fitted here with the process's own thread settings: the batch's one thread per fit
    # changes nothing.
    group = long_table[long_table["series"] == "s042"]
    model = clone(dorv.MDLPolynomialRegressor())
    model.set_params(random_state=group_seed(None, ("s042",)))
    model.fit(group[["x"]].to_numpy(), group["y"].to_numpy())
    row = rows_of(reference, ["s042"]).iloc[0]
    assert row["coef"] == tuple(model.coef_)
    assert row["degrees"] == tuple(model.degrees_)
    assert (row["mdl"], row["rms"]) == (model.mdl_, model.rms_)
    # The row alone gives the curve: coef in powers of t = (x - x_center) / x_scale.
    (center,), (scale,) = row["x_center"], row["x_scale"]
    x = np.linspace(group["x"].min(), group["x"].max(), 50)
    curve = np.polynomial.polynomial.polyval((x - center) / scale, row["coef"])
    np.testing.assert_allclose(curve, model.predict(x[:, None]), rtol=1e-12, atol=1e-12)


def test_seeds_follow_random_state_and_key(long_table):
    subset = long_table[long_table["series"].isin(["s001", "s002"])]
    calls = []

    class Recording(Ridge):
        def __init__(self, alpha=1.0, random_state=None):
            super().__init__(alpha=alpha, random_state=random_state)

        def fit(self, X, y):
            calls.append(self.random_state)
            return super().fit(X, y)

    fit_groups(subset, "series", "x", "y", estimator=Recording(random_state=5), n_jobs=1)
    assert calls == [group_seed(5, ("s001",)), group_seed(5, ("s002",))]
    assert group_seed(6, ("s001",)) != calls[0]


def test_group_seed_is_the_same_in_every_process():
    keys = [("s001",), (3, "a"), (np.int64(3), "a"), (2.5,), (None,)]
    here = [group_seed(42, k) for k in keys]
    assert here[1] == here[2]  # a NumPy integer key is the number it holds
    code = ("import numpy as np; from dorv.batch import group_seed; "
            f"print([group_seed(42, k) for k in {keys!r}])")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), PYTHONHASHSEED="123")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         check=True).stdout
    assert json.loads(out) == here


def test_several_group_and_input_columns():
    rng = np.random.default_rng(5)
    frames = []
    for site in ("north", "south"):
        for sensor in (1, 2):
            u, v = rng.uniform(-1, 1, (2, 60))
            frames.append(pd.DataFrame({"site": site, "sensor": sensor, "u": u, "v": v,
                                        "z": 1 + u - 2 * v * u + 0.01 * rng.normal(size=60)}))
    data = pd.concat(frames, ignore_index=True).sample(frac=1.0, random_state=1)
    table = fit_groups(data, ["site", "sensor"], ["u", "v"], "z", n_jobs=1)
    assert table[["site", "sensor"]].values.tolist() == [["north", 1], ["north", 2],
                                                          ["south", 1], ["south", 2]]
    assert table["sensor"].dtype == np.int64
    assert (table["error"] == "").all() and (table["rms"] < 0.05).all()
    assert all(len(d) == 2 for d in table["degrees"])


def test_weight_column_reaches_each_fit(long_table, tmp_path):
    keys = ["s001", "s002", "s003"]
    data = long_table[long_table["series"].isin(keys)].copy()
    data["w"] = np.where(np.arange(len(data)) % 4 == 0, 0.0, 1.0 + np.arange(len(data)) % 3)
    table = fit_groups(data, "series", "x", "y", weight="w", n_jobs=1)
    for key, row in zip(keys, table.itertuples()):
        part = data[data["series"] == key]
        model = dorv.MDLPolynomialRegressor(random_state=group_seed(None, (key,))).fit(
            part[["x"]].to_numpy(), part["y"].to_numpy(), sample_weight=part["w"].to_numpy())
        assert row.coef == tuple(model.coef_) and row.n_outliers == (~model.inlier_mask_).sum()
    path = tmp_path / "long.csv"
    data.to_csv(path, index=False)
    out = tmp_path / "fits.csv"
    proc = run_batch("--csv", path, "--group-col", "series", "--x-col", "x", "--y-col", "y",
                     "--weight-col", "w", "--out", out, "--workers", 1)
    assert proc.returncode == 0, proc.stderr
    pd.testing.assert_frame_equal(read_csv_result(out), table, check_dtype=False)


def test_groups_that_cannot_be_fitted_keep_the_batch_going():
    data = pd.DataFrame({"g": ["ok"] * 30 + ["short"] + ["text"] * 30,
                         "x": [*np.linspace(0, 1, 30), 0.5, *(["a"] + [0.5] * 29)],
                         "y": [*np.linspace(0, 1, 30) ** 2, 1.0, *np.zeros(30)]})
    table = fit_groups(data, "g", "x", "y", n_jobs=1).set_index("g")
    assert table.loc["ok", "error"] == ""
    assert table.loc["short", "error"].startswith("ValueError: ")
    assert table.loc["text", "error"].startswith("ValueError: could not convert")


def test_estimator_warnings_go_into_their_row(long_table):
    subset = long_table[long_table["series"].isin(["s001", "s002"])]
    table = fit_groups(subset, "series", "x", "y", n_jobs=1,
                       estimator=dorv.MDLPolynomialRegressor(max_degree=1,
                                                             loss="squared_error"))
    assert (table["error"] == "").all()
    assert table["warning"].str.contains("max_degree").all()


@pytest.mark.parametrize(
    "kwargs, match",
    [
        (dict(by="site"), "by: no column 'site'"),
        (dict(x=["x", "t"]), "x: no column 't'"),
        (dict(x=[]), "x: expected at least one column"),
        (dict(y=["y"]), "y: expected one column name"),
        (dict(x=["x", "series"]), "a column can play one part only"),
        (dict(weight="y"), "a column can play one part only"),
        (dict(weight="w"), "weight: no column 'w'"),
        (dict(n_jobs=0), "n_jobs: expected None or a whole number of at least 1, got 0"),
        (dict(n_jobs=1.5), "n_jobs: .* got 1.5"),
        (dict(n_jobs=2, client=object()), "n_jobs: pass either n_jobs or client"),
    ],
    ids=["by", "x-missing", "x-empty", "y-list", "overlap", "weight-is-y", "weight-missing",
         "n_jobs-0", "n_jobs-float",
         "n_jobs-and-client"],
)
def test_bad_arguments(long_table, kwargs, match):
    args = dict(by="series", x="x", y="y") | kwargs
    with pytest.raises(ValueError, match=match):
        fit_groups(long_table, args.pop("by"), args.pop("x"), args.pop("y"), **args)


# ----------------------------------------------------------------------------------------------
# python -m dorv batch


def batch_command(*args):
    return [sys.executable, "-m", "dorv", "batch", *map(str, args)]


def child_env():
    return dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))


def run_batch(*args):
    return subprocess.run(batch_command(*args), env=child_env(), capture_output=True, text=True,
                          timeout=300)


@pytest.fixture(scope="module")
def small_table(long_table, tmp_path_factory):
    keys = [f"s{i:03d}" for i in range(0, 40)]
    data = long_table[long_table["series"].isin(keys)]
    path = tmp_path_factory.mktemp("batch") / "long.csv"
    data.to_csv(path, index=False)
    return path


def read_csv_result(path):
    table = pd.read_csv(path, keep_default_na=False, na_values=dict.fromkeys(
        ("mdl", "hit_rate", "rms", "scale", "n_outliers"), ""))
    for c in batch.TUPLE_COLUMNS:
        table[c] = [tuple(json.loads(v)) if v else None for v in table[c]]
    return table


@in_processes
def test_cli_writes_csv(small_table, reference, tmp_path):
    out = tmp_path / "fits.csv"
    proc = run_batch("--csv", small_table, "--group-col", "series", "--x-col", "x",
                     "--y-col", "y", "--out", out, "--workers", 2)
    assert proc.returncode == 0, proc.stderr
    assert re.fullmatch(r"40 groups, 1 failed, \S+ s \(\S+ groups/s\) on 2 local processes "
                        r"-> .*fits\.csv\n", proc.stdout)
    table = read_csv_result(out)
    pd.testing.assert_frame_equal(table, reference.iloc[:40].reset_index(drop=True),
                                  check_dtype=False)


@in_processes
def test_cli_reads_and_writes_parquet_and_runs_on_a_scheduler(small_table, reference, client,
                                                               tmp_path):
    pytest.importorskip("pyarrow", exc_type=ImportError)  # some refuse an old NumPy
    source = tmp_path / "long.parquet"
    pd.read_csv(small_table).to_parquet(source)
    out = tmp_path / "fits.parquet"
    proc = run_batch("--csv", source, "--group-col", "0", "--x-col", "x", "--y-col", "y",
                     "--out", out, "--scheduler", client.scheduler.address)
    assert proc.returncode == 0, proc.stderr
    assert f"on the cluster at {client.scheduler.address}" in proc.stdout
    table = pd.read_parquet(out)
    for c in batch.TUPLE_COLUMNS:
        table[c] = [None if v is None else tuple(v.tolist()) for v in table[c]]
    pd.testing.assert_frame_equal(table, reference.iloc[:40].reset_index(drop=True))


@pytest.mark.parametrize(
    "args, message",
    [
        (["--y-col", "z"], "--y-col: no column 'z' in the input (columns: series, x, y)"),
        (["--x-col", "x,7"], "--x-col: no column '7'"),
        (["--y-col", "series"], "both --group-col and --y-col name 'series'"),
        (["--workers", "0"], "--workers must be 1 or more, got 0"),
        (["--workers", "2", "--scheduler", "tcp://h:1"], "--workers and --scheduler"),
        (["--out", "fits.xlsx"], "--out must end in .csv, .parquet or .pq"),
        (["--out", "no/such/dir/fits.csv"], "cannot write no/such/dir/fits.csv"),
        (["--csv", "missing.csv"], "cannot read missing.csv: no such file"),
        (["--workers", "two"], "argument --workers: invalid int value: 'two'"),
    ],
    ids=["y-col", "x-col-index", "same-column", "workers-0", "workers-and-scheduler", "out-ext",
         "out-dir", "missing-input", "workers-text"],
)
def test_cli_errors_are_one_line(small_table, tmp_path, monkeypatch, capsys, args, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "fits.csv").write_text(EARLIER)
    base = dict(zip(["--csv", "--group-col", "--x-col", "--y-col", "--out"],
                    [str(small_table), "series", "x", "y", "fits.csv"]))
    options = base | dict(zip(args[::2], args[1::2]))
    try:
        code = batch_main([s for kv in options.items() for s in kv])
    except SystemExit as exc:
        code = exc.code
    err = capsys.readouterr().err
    assert code == 1
    assert err.startswith("dorv: error: ") and err.count("\n") == 1, err
    assert message in err
    assert os.listdir(tmp_path) == ["fits.csv"] and (tmp_path / "fits.csv").read_text() == EARLIER


def test_cli_names_the_extra_when_a_dependency_is_missing(small_table, tmp_path):
    code = ("import sys; sys.modules['pandas'] = None; from dorv.__main__ import main; "
            "sys.exit(main(sys.argv[1:]))")
    options = ["--csv", small_table, "--group-col", "series", "--x-col", "x", "--y-col", "y",
               "--out", tmp_path / "fits.csv"]
    proc = subprocess.run([sys.executable, "-c", code, "batch", *map(str, options)],
                          env=child_env(), capture_output=True, text=True)
    assert proc.returncode == 1
    assert proc.stderr == "dorv: error: dorv's batch job needs pandas: " \
        "pip install 'dorv[batch]'\n"


def sigint_as_usual():
    """In a child: Ctrl-C raises KeyboardInterrupt even when this process ignores it (as under
    nohup or in a background job), since a child inherits an ignored signal."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


EARLIER = "a finished table of an earlier run\n"


@in_processes
@pytest.mark.parametrize("workers, earlier", [(1, False), (2, True)],
                         ids=["one-process", "two-processes-over-a-finished-table"])
def test_cli_ctrl_c_writes_the_finished_rows(long_table, reference, tmp_path, workers, earlier):
    # A terminal on stderr, as a user has: the progress bar shows how far the job got.
    source, out = tmp_path / "long.csv", tmp_path / "fits.csv"
    long_table.to_csv(source, index=False)
    if earlier:  # the rows go beside it, and it stays as it was
        out.write_text(EARLIER)
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    proc = subprocess.Popen(batch_command("--csv", source, "--group-col", "series", "--x-col", "x",
                                          "--y-col", "y", "--out", out, "--workers", workers),
                            env=child_env(), stdout=subprocess.PIPE, stderr=slave, text=True,
                            start_new_session=True, preexec_fn=sigint_as_usual)
    os.close(slave)
    try:
        done, shown = 0, ""
        deadline = time.monotonic() + 120
        while done < 30 and time.monotonic() < deadline:
            if select.select([master], [], [], 1.0)[0]:
                try:
                    shown += os.read(master, 4096).decode(errors="replace")
                except OSError:  # the job ended: nothing more to read
                    break
                done = max([int(n) for n in re.findall(r"(\d+)/240 \[", shown)] + [0])
        assert done >= 30, shown
        proc.send_signal(signal.SIGINT)
        stdout, _ = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
        os.close(master)
    assert proc.returncode == 130
    written = tmp_path / ("fits.partial.csv" if earlier else "fits.csv")
    kept = f" \\({re.escape(str(out))} left as it was\\)" if earlier else ""
    match = re.fullmatch(rf"interrupted: (\d+) of 240 groups, \d+ failed, \S+ s -> "
                         rf"{re.escape(str(written))}{kept}\n", stdout)
    assert match, stdout
    assert not earlier or out.read_text() == EARLIER
    table = read_csv_result(written)
    assert done <= len(table) == int(match.group(1)) < 240
    expected = rows_of(reference, list(table["series"]))
    pd.testing.assert_frame_equal(table, expected, check_dtype=False)


@in_processes
def test_cli_ctrl_c_while_reading_writes_nothing(small_table, tmp_path):
    (tmp_path / "fits.csv").write_text(EARLIER)
    code = """
import io, runpy, signal
class Source(io.StringIO):  # pandas' parser reads its source in chunks, from C
    def read(self, size=-1):
        if size > 0:
            signal.raise_signal(signal.SIGINT)
        return super().read(size)
io.StringIO = Source
runpy.run_module("dorv", run_name="__main__", alter_sys=True)
"""
    proc = subprocess.run([sys.executable, "-c", code, "batch", "--csv", str(small_table),
                           "--group-col", "series", "--x-col", "x", "--y-col", "y", "--out",
                           "fits.csv"], cwd=tmp_path, env=child_env(), capture_output=True,
                          text=True, timeout=120, preexec_fn=sigint_as_usual)
    assert (proc.returncode, proc.stdout, proc.stderr) == (
        130, "", "dorv: interrupted by Ctrl-C before any group was fitted; nothing written\n")
    assert os.listdir(tmp_path) == ["fits.csv"] and (tmp_path / "fits.csv").read_text() == EARLIER


def test_cli_keeps_whole_numbers_whole_and_fits_dates_as_years(tmp_path, capsys):
    # Sensor numbers with one missing (a group of its own), days as ISO dates.
    rng = np.random.default_rng(5)
    days = np.datetime64("2021-01-01") + rng.integers(0, 365, 90)
    sensor = np.repeat([1, 2, 3], 30).astype(object)
    sensor[40] = ""
    years = 2021 + (days - np.datetime64("2021-01-01")).astype(float) / 365
    y = np.sin(6 * (years - 2021)) + rng.normal(0.0, 0.05, 90)
    pd.DataFrame({"sensor": sensor, "day": days.astype(str), "y": y}).to_csv(
        tmp_path / "d.csv", index=False)
    out = tmp_path / "fits.csv"
    assert batch_main(["--csv", str(tmp_path / "d.csv"), "--group-col", "sensor", "--x-col",
                       "day", "--y-col", "y", "--out", str(out), "--workers", "1"]) == 0
    assert capsys.readouterr().out.endswith("; 'day' read as decimal years\n")
    raw = pd.read_csv(out, dtype=str, keep_default_na=False)
    assert list(raw["sensor"]) == ["1", "2", "3", ""]  # the last: one row, which fails
    assert [v.isdigit() for v in raw["n_outliers"]] == [True, True, True, False]
    assert all(2021 < json.loads(v)[0] < 2022 for v in raw["x_center"][:3])


CTRL_C_INSIDE_WAIT = """
import signal, sys
import numpy as np, pandas as pd
from dorv.batch import BatchJob

def ctrl_c_inside_wait(frame, event, arg):  # once `wait` has taken the first future's lock
    if event == "c_return" and frame.f_code.co_qualname == "_AcquireFutures.__enter__":
        sys.setprofile(None)
        print("sent", flush=True)
        signal.raise_signal(signal.SIGINT)

rng = np.random.default_rng(0)
data = pd.DataFrame({"g": np.repeat(np.arange(40), 20), "x": rng.normal(size=800)})
data["y"] = data["x"] ** 2 + rng.normal(size=800)
rows = []
sys.setprofile(ctrl_c_inside_wait)
try:
    BatchJob(data, "g", "x", "y", n_jobs=2).run(rows)
except KeyboardInterrupt:
    print("interrupted", len(rows) < 40)
"""


@in_processes
def test_ctrl_c_inside_the_executors_bookkeeping_still_stops_the_job():
    proc = subprocess.run([sys.executable, "-c", CTRL_C_INSIDE_WAIT], env=child_env(),
                          capture_output=True, text=True, timeout=60, preexec_fn=sigint_as_usual)
    assert (proc.returncode, proc.stdout) == (0, "sent\ninterrupted True\n"), proc.stderr


def test_readme_example_output(tmp_path):
    text = (Path(__file__).resolve().parents[1] / "README.md").read_text()
    code = re.search(r"^## Many series: the batch job\n.*?```python\n(.*?)^```", text,
                     re.M | re.S).group(1)
    expected = [line[2:] for line in code.splitlines() if line.startswith("# ")][1:]
    out = subprocess.run([sys.executable, "-c", code], env=child_env(), cwd=tmp_path,
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert [line.rstrip() for line in out.stdout.splitlines()] == expected
