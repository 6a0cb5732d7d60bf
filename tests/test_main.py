"""The curve-fitting job end to end, the package surface and the extension's type stub."""

import ast
import importlib.metadata
import importlib.util
import inspect
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import dorv
import dorv_core
from dorv import curvefit
from dorv.cli import main

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "dorv_core.pyi"


def sigint_as_usual():
    """In a child: Ctrl-C raises KeyboardInterrupt even when this process ignores it (as under
    nohup or in a background job), since a child inherits an ignored signal."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def run_job(*args, cwd=None, code=None):
    # The job runs in its own interpreter, finding the same dorv and dorv_core as this one.
    paths = [str(Path(dorv_core.__file__).parent), str(Path(dorv.__file__).parents[1])]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths + [os.environ.get("PYTHONPATH", "")]))
    command = ["-c", code, *args] if code else ["-m", "dorv", *args]
    return subprocess.run([sys.executable, *command], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=120, preexec_fn=sigint_as_usual)


def table(stdout, loss=None):
    """Rows of the candidates table of one loss (default: the chosen one's): degrees, resid rms,
    hit rate, MDL, cv error, cv MDL, chosen."""
    rows = re.findall(r"^\s*(biweight|squared_error)\s+([\d,]+)(?: <=\d+)?\s+\d+\s+(\S+)\s+(\S+)"
                      r"\s+(\S+)\s+(\S+)\s+(\S+)(  <- chosen)?$", stdout, re.M)
    loss = loss or next(r[0] for r in rows if r[7])
    return [(tuple(map(int, r[1].split(","))), *map(float, r[2:7]), bool(r[7]))
            for r in rows if r[0] == loss]


def chosen(stdout):
    """Degree and coefficients a_p of the chosen model of one input, and the map x -> t."""
    degree = int(re.search(r"a polynomial of degree (\d+) ", stdout).group(1))
    sign, center, half = re.search(r"t_.+? = \(.+? ([-+]) (\S+)\) / (\S+) \(", stdout).groups()
    # the summary's rows of coefficients, 1, t_x, t_x^2, ..., each ending in six numbers
    rows = stdout.split("results")[1].split("\nterm")[1].split("\n=")[0].strip().splitlines()
    assert len(rows) == degree + 1
    center = float(center) if sign == "-" else -float(center)
    return degree, np.array([float(row.split()[-6]) for row in rows]), center, float(half)


def curve(stdout, x):
    _, a, center, half = chosen(stdout)
    return np.polynomial.polynomial.polyval((x - center) / half, a)


def test_default_job_fits_the_sample():
    out = run_job()
    assert out.returncode == 0, out.stderr
    rows = table(out.stdout)
    assert [r[0] for r in rows] == [(d,) for d in range(len(rows))] and len(rows) >= 10
    (best,) = [r for r in rows if r[6]]
    # The chosen degree's cv error is about the best of its loss.
    assert best[4] <= 1.5 * min(r[4] for r in rows)
    # The sample is 1.5 + 2 exp(-x/5) sin(1.1 x) plus noise of sd 0.05.
    x = np.linspace(0.05, 9.95, 100)
    truth = 1.5 + 2.0 * np.exp(-x / 5.0) * np.sin(1.1 * x)
    assert np.max(np.abs(curve(out.stdout, x) - truth)) < 0.1
    assert 0.03 < best[1] < 0.07 and best[0][0] >= 7
    assert "TournamentMCMC" in out.stdout and out.stderr == ""
    assert re.search(r"noise scale 0\.0\d+: ", out.stdout)
    assert re.search(r"^outliers  (none|\d+ of 200 rows)", out.stdout, re.M)


@pytest.mark.parametrize(
    "header, cols, delimiter",
    [("time,junk,signal", ["--x-col", "time", "--y-col", "signal"], ","),
     (None, ["--x-col", "0", "--y-col", "2"], ";")],
    ids=["by-name", "by-index-no-header"],
)
def test_own_csv_far_from_origin(tmp_path, header, cols, delimiter):
    # x far from 0: monomials of x itself would be hopelessly ill-conditioned.
    rng = np.random.default_rng(1234)
    x = np.sort(rng.uniform(1000.0, 1010.0, 150))
    y = 3.0 - 0.8 * (x - 1005.0) + 0.1 * (x - 1005.0) ** 2 + rng.normal(0.0, 0.02, x.size)
    lines = ([header] if header else []) + [f"{a}{delimiter}7{delimiter}{b}" for a, b in zip(x, y)]
    (tmp_path / "data.csv").write_text("\n".join(lines) + "\n")
    out = run_job("--csv", "data.csv", "--delimiter", delimiter, "--max-degree", "6", *cols,
                  cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert chosen(out.stdout)[0] >= 2  # a quadratic, or more within the noise
    grid = np.linspace(1000.5, 1009.5, 50)
    np.testing.assert_allclose(curve(out.stdout, grid),
                               3.0 - 0.8 * (grid - 1005) + 0.1 * (grid - 1005) ** 2, atol=0.05)


BAD_INPUT = {
    "missing-file": ("nope.csv", None, "cannot read nope.csv"),
    "non-numeric": ("d.csv", "x,y\n1,2\n2,abc\n3,4\n", "line 3: 'abc' in column 'y'"),
    "not-finite": ("d.csv", "x,y\n1,2\n2,inf\n", "line 3: 'inf' in column 'y'"),
    "one-row": ("d.csv", "x,y\n1,2\n", "d.csv: MDLPolynomialRegressor needs at least 2 "
                "distinct points in X, got 1 sample at one point"),
    "one-x": ("d.csv", "x,y\n" + "1,2\n1,3\n" * 10, "got 20 samples at one point"),
    "unknown-column": ("d.csv", "a,b\n1,2\n", "no column 'c'"),
    "empty-file": ("d.csv", "# nothing\n\n", "no data rows"),
    "short-row": ("d.csv", "1,2\n\n2\n", "line 3: no value in column 'column 1'"),
    "empty-cell": ("d.csv", "x,y\n1,2\n2, \n", "line 3: no value in column 'y' (--dropna drops "
                   "incomplete rows)"),
    "every-row-incomplete": ("d.csv", "x,y\n1,\n,2\n", "d.csv: every row misses a value in a "
                             "column used (--dropna left none)"),
    "not-a-date": ("d.csv", "x,y\n2020-01-01,1\n2020-02-30,2\n", "line 3: '2020-02-30' in column "
                   "'x' is not a date"),
    "long-row": ("d.csv", "x,y\n# a note\n1,2\n2,3,4\n", "line 4: 3 fields where the first "
                 "row has 2"),
    "same-header-twice": ("d.csv", "x,x\n1,2\n2,3\n", "the header names column 'x' twice"),
    "same-column-twice": ("d.csv", "x,y\n1,2\n2,3\n", "both --x-col and --y-col name 'x'"),
}
EARLIER_PLOT = b"an earlier plot"


@pytest.mark.parametrize("name, content, message", BAD_INPUT.values(), ids=BAD_INPUT.keys())
def test_bad_input_is_one_line(tmp_path, monkeypatch, capsys, name, content, message):
    if content is not None:
        (tmp_path / name).write_text(content)
    (tmp_path / "fit.png").write_bytes(EARLIER_PLOT)
    monkeypatch.chdir(tmp_path)
    y_col = "c" if "'c'" in message else "x" if "name 'x'" in message else "1"
    plot = ["--plot", "fit.png"] if importlib.util.find_spec("matplotlib") else []
    dropna = ["--dropna"] if "--dropna left" in message else []
    status = main(["--csv", name, "--x-col", "0", "--y-col", y_col, *plot, *dropna])
    out = capsys.readouterr()
    assert status == 1 and out.out == ""
    assert out.err.count("\n") == 1 and out.err.startswith("dorv: error: ")
    assert message in out.err
    assert (tmp_path / "fit.png").read_bytes() == EARLIER_PLOT


# Ctrl-C pressed where the job does this: Python run before the job that raises SIGINT there.
PRESSED = {
    "loading": """
class Press:  # as the job's modules load scikit-learn
    def find_spec(self, name, path, target=None):
        if name == "sklearn":
            sys.meta_path.remove(self)
            signal.raise_signal(signal.SIGINT)
sys.meta_path.insert(0, Press())
""",
    "reading": """
import io
class Source(io.StringIO):  # pandas' parser reads its source in chunks, from C
    def read(self, size=-1):
        if size > 0:
            signal.raise_signal(signal.SIGINT)
        return super().read(size)
io.StringIO = Source
""",
    "fitting": """
from dorv.estimator import MDLPolynomialRegressor as Model
fit = Model.fit
Model.fit = lambda self, *args, **kwargs: (signal.raise_signal(signal.SIGINT),
                                           fit(self, *args, **kwargs))[1]
""",
    "drawing": """
from matplotlib.figure import Figure
savefig = Figure.savefig
def saved(self, *args, **kwargs):  # the image written whole, not yet in its place
    savefig(self, *args, **kwargs)
    signal.raise_signal(signal.SIGINT)
Figure.savefig = saved
""",
}


@pytest.mark.parametrize("where", PRESSED)
def test_ctrl_c_is_one_line_and_status_130(tmp_path, where):
    pytest.importorskip("matplotlib")
    (tmp_path / "fit.png").write_bytes(EARLIER_PLOT)
    code = ("import runpy, signal, sys\n" + PRESSED[where] +
            "runpy.run_module('dorv', run_name='__main__', alter_sys=True)\n")
    out = run_job("--plot", "fit.png", code=code, cwd=tmp_path)
    assert out.returncode == 130 and out.stderr.count("\n") == 1
    assert out.stderr.startswith("dorv: interrupted by Ctrl-C"), out.stderr
    assert (tmp_path / "fit.png").read_bytes() == EARLIER_PLOT
    assert os.listdir(tmp_path) == ["fit.png"]  # nothing half-written left behind


# A table as R, pandas and spreadsheets export it: (file text, read_columns options) -> inputs,
# target, first column of X, rows left out, notes.
READ = {
    "r-export": ('"","time","value"\n"1",1,5\n"2",2,6\n', {}, ["time"], "value", [1, 2], 0, 1),
    "rownames": ("rownames,time,value\nMazda,1,5\nFiat,2,6\n", {}, ["time"], "value", [1, 2], 0,
                 1),
    "tab": ("time\tvalue\n1\t5\n2\t6\n", {}, ["time"], "value", [1, 2], 0, 0),
    "semicolon": ("time;value\n1;5\n2;6\n", {}, ["time"], "value", [1, 2], 0, 0),
    "dates": ("day,value\n2020-01-01,5\n2020-07-02,6\n2021-01-01T00:00Z,7\n", {}, ["day"],
              "value", [2020, 2020.5, 2021], 0, 1),
    "dropna": ("x,y\n1,5\n,6\n3,\n4,8\n", {"dropna": True}, ["x"], "y", [1, 4], 2, 0),
}


@pytest.mark.parametrize("text, options, inputs, target, x, dropped, notes", READ.values(),
                         ids=READ.keys())
def test_tables_are_read_as_exported(tmp_path, text, options, inputs, target, x, dropped, notes):
    (tmp_path / "d.csv").write_text(text)
    data = curvefit.read_columns(str(tmp_path / "d.csv"), ["0"], **options)
    assert (data.x_names, data.y_name, data.dropped, len(data.notes)) == \
        (inputs, target, dropped, notes)
    np.testing.assert_array_equal(data.X[:, 0], x)


def test_report_says_how_the_table_was_read(tmp_path, capsys):
    rng = np.random.default_rng(3)
    days = np.datetime64("2020-01-01") + np.arange(0, 360, 3)
    rows = [f'"{i}",{d},{"" if i % 40 == 7 else f"{np.sin(i / 10) + rng.normal(0, 0.05):.4f}"}'
            for i, d in enumerate(days)]
    (tmp_path / "d.csv").write_text('"","day","value"\n' + "\n".join(rows) + "\n")
    assert main(["--csv", str(tmp_path / "d.csv"), "--dropna", "--max-degree", "4"]) == 0
    data_block = capsys.readouterr().out.split("\nbasis")[0]
    assert "117 rows; y = 'value'; inputs 'day' from 2020 to 2021" in data_block
    assert "first column: the rows' names, not data" in data_block
    assert "'day' read as decimal years" in data_block
    assert "3 rows without a value in a column used left out (--dropna)" in data_block


BAD_OPTIONS = {
    "max-degree": (["--max-degree", "99"], "--max-degree must be between 1 and 30, got 99"),
    "gamma2": (["--gamma2", "-1"], "--gamma2 must be a finite weight of 0 or more, got -1.0"),
    "not-a-number": (["--seed", "x"], "argument --seed: invalid int value: 'x'"),
    "unknown": (["--degree", "3"], "unrecognized arguments: --degree 3"),
    "batch-workers": (["batch", "--csv", "d.csv", "--group-col", "g", "--x-col", "x", "--y-col",
                       "y", "--out", "f.csv", "--workers", "0"], "--workers must be 1 or more"),
    "batch-missing": (["batch", "--csv", "d.csv"], "the following arguments are required"),
}


@pytest.mark.parametrize("args, message", BAD_OPTIONS.values(), ids=BAD_OPTIONS.keys())
def test_bad_options_are_one_line_and_status_1(capsys, args, message):
    with pytest.raises(SystemExit) as stop:
        main(args)
    err = capsys.readouterr().err
    assert stop.value.code == 1 and err.count("\n") == 1
    assert err.startswith("dorv: error: ") and message in err


def test_degree_at_the_limit_is_noted(capsys):
    assert main(["--max-degree", "3"]) == 0
    out = capsys.readouterr().out
    assert "a polynomial of degree 3 " in out
    assert "note      the chosen degree of x is --max-degree 3: a higher degree might fit better" in out


def tsv_with_bom(path, n=300, seed=5):
    """Three inputs and a target, tab-separated, as a spreadsheet saves them (UTF-8 with BOM)."""
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.0, 1.0, (n, 3))
    y = np.exp(X[:, 0]) * X[:, 1] - X[:, 2] ** 2 + rng.normal(0.0, 0.02, n)
    rows = ["\t".join(f"{v:.6f}" for v in r) for r in np.column_stack([X, y])]
    path.write_text("\ufeffa\tb\tc\tout\n" + "\n".join(rows) + "\n", encoding="utf-8")


def test_several_inputs_from_a_spreadsheet_file(tmp_path):
    tsv_with_bom(tmp_path / "d.tsv")
    out = run_job("--csv", "d.tsv", "--delimiter", "\\t", "--x-col", "a,b,c", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    rows = table(out.stdout)
    (best,) = [r for r in rows if r[6]]
    assert rows[0][0] == (0, 0, 0) and len(best[0]) == 3
    assert best[1] < 0.025 and best[4] < 0.03  # the noise is 0.02
    assert "inputs 'a' from" in out.stdout and "y = 'out'" in out.stdout


@pytest.mark.parametrize("args", [[], ["--sample", "surface"],
                                  ["--csv", "d.tsv", "--delimiter", "\\t", "--x-col", "a,b,c"]],
                         ids=["curve", "surface", "three-inputs"])
def test_plot(tmp_path, args):
    if importlib.util.find_spec("matplotlib") is None:
        out = run_job("--plot", "fit.png", cwd=tmp_path)
        assert out.returncode == 1 and "pip install 'dorv[plot]'" in out.stderr
        return
    import matplotlib.image

    tsv_with_bom(tmp_path / "d.tsv")
    out = run_job(*args, "--plot", "fit", cwd=tmp_path)  # the job adds the extension
    assert out.returncode == 0, out.stderr
    assert out.stdout.endswith("\nplot written to fit.png\n")
    assert (tmp_path / "fit.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    image = matplotlib.image.imread(tmp_path / "fit.png")
    # A drawing, not a blank page: many distinct colours (the surface's contours and its
    # colour bars, or the curves and points).
    colours = np.unique((image[..., :3] * 255).astype(np.uint8).reshape(-1, 3), axis=0)
    assert image.shape[1] > 800 and len(colours) > (200 if "surface" in args else 20)


def test_plot_refused_without_matplotlib(tmp_path):
    # Without matplotlib the job refuses --plot before doing any work.
    hidden = "import sys; sys.modules['matplotlib'] = None; from dorv.cli import main; " \
             "sys.exit(main(sys.argv[1:]))"
    out = run_job("--plot", "other.png", code=hidden, cwd=tmp_path)
    assert out.returncode == 1 and out.stdout == "" and out.stderr.count("\n") == 1
    assert not (tmp_path / "other.png").exists()


def test_help_states_every_range():
    out = run_job("--help")
    assert out.returncode == 0
    options = re.split(r"\n  (?=-)", out.stdout.split("options:")[1])[1:]
    helps = {o.split()[0].rstrip(","): " ".join(o.split()) for o in options}
    assert set(helps) >= {"--max-degree", "--gamma1", "--gamma2", "--seed", "--delimiter"}
    assert "1 to 30" in helps["--max-degree"] and "2**64 - 1" in helps["--seed"]
    assert all("0 or more" in helps[g] for g in ("--gamma1", "--gamma2"))


def test_package_reexports_the_extension():
    public = {n for n in dir(dorv_core) if not n.startswith("_")}
    assert set(dorv.__all__) == public | {"DegreeLimitWarning", "ExtrapolationWarning",
                                          "MDLPolynomialRegressor"}
    assert all(getattr(dorv, n) is getattr(dorv_core, n) for n in public)
    try:
        installed = importlib.metadata.version("dorv")
    except importlib.metadata.PackageNotFoundError:
        installed = "0+unknown"
    assert dorv.__version__ == installed


# --- the stub ---------------------------------------------------------------------------------

ALIASES = {"SupportsInt": "int", "SupportsIndex": "int", "_Int": "int", "SupportsFloat": "float",
           "_Float": "float", "_Vector": "Vector", "_Matrix": "Matrix", "_Array": "Array",
           "object": "Matrix|None", "_MultiIndices": "Sequence[Sequence[int]]"}


def canon(node):
    """An annotation reduced to a small vocabulary shared by the stub and pybind11's
    signatures (Vector, Matrix, Array, int, float, containers)."""
    if node is None:
        return None
    if isinstance(node, ast.Constant):
        return repr(node.value)
    if isinstance(node, (ast.Name, ast.Attribute)):
        name = node.id if isinstance(node, ast.Name) else node.attr
        return ALIASES.get(name, name)
    if isinstance(node, ast.BinOp):
        parts = {canon(node.left), canon(node.right)}
        return "float" if parts == {"float", "int"} else "|".join(sorted(parts))
    base = canon(node.value)
    items = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
    if base == "Annotated":
        if canon(items[0]) == "ArrayLike":
            return "Vector" if items[-1].value == "[m, 1]" else "Matrix"
        return "Array"
    return f"{base}[{', '.join(canon(i) for i in items)}]"


def signature(fn):
    args = fn.args.args[1:] if fn.args.args and fn.args.args[0].arg == "self" else fn.args.args
    defaults = [None] * (len(args) - len(fn.args.defaults)) + fn.args.defaults
    # pybind11 names a noconvert sequence argument "list" although it takes any sequence.
    return ([(a.arg, str(canon(a.annotation)).replace("list[", "Sequence["),
              d and ast.literal_eval(d)) for a, d in zip(args, defaults)], canon(fn.returns))


def stub_tree():
    tree = ast.parse(STUB.read_text())
    classes = {c.name: c for c in tree.body if isinstance(c, ast.ClassDef) and c.name[0] != "_"}
    functions = {f.name: f for f in tree.body if isinstance(f, ast.FunctionDef)}
    for cls in classes.values():
        functions.update({f"{cls.name}.{f.name}": f for f in cls.body
                          if isinstance(f, ast.FunctionDef) and not f.decorator_list})
    constants = {a.target.id: canon(a.annotation) for a in tree.body
                 if isinstance(a, ast.AnnAssign) and not a.target.id.startswith("_")}
    return classes, functions, constants


CLASSES, FUNCTIONS, CONSTANTS = stub_tree()


@pytest.mark.parametrize("name", sorted(FUNCTIONS), ids=sorted(FUNCTIONS))
def test_stub_signature_matches_pybind11(name):
    obj = dorv_core
    for part in name.split("."):
        obj = getattr(obj, part)
    doc = inspect.getdoc(obj).splitlines()[0]
    runtime = ast.parse("def f(" + doc.split("(", 1)[1] + ": ...").body[0]
    assert signature(FUNCTIONS[name]) == signature(runtime)


def test_stub_names_and_property_types():
    public = {n for n in dir(dorv_core) if not n.startswith("_")}
    assert set(CLASSES) | {n.split(".")[0] for n in FUNCTIONS} | set(CONSTANTS) == public
    assert all(t == "Final[float]" and type(getattr(dorv_core, n)) is float
               for n, t in CONSTANTS.items())
    r = dorv_core.TournamentMCMC(2, 3, 3, 1).fit(np.eye(3), [1.0, 2.0, 3.0])
    types = {"float": float, "int": int, "Array": np.ndarray, "GibbsResult": dorv_core.GibbsResult}
    for obj in (r, r.gibbs):
        props = {f.name: canon(f.returns) for f in CLASSES[type(obj).__name__].body
                 if isinstance(f, ast.FunctionDef) and f.decorator_list}
        assert set(props) == {n for n, v in vars(type(obj)).items() if isinstance(v, property)}
        assert all(type(getattr(obj, n)) is types[t] for n, t in props.items()), props
    assert r.beta_mcmc.dtype == np.float64


def test_stubtest():
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPYPATH=str(ROOT))
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "dorv_core"], cwd=ROOT, env=env,
                         capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stdout + out.stderr


def test_installed_files():
    try:
        dist = importlib.metadata.distribution("dorv")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("dorv is not installed; the tests run on a build directory")
    if '"editable": true' in (dist.read_text("direct_url.json") or ""):
        pytest.skip("an editable install links to the source tree instead of installing files")
    files = {str(f) for f in dist.files or []}
    assert {"dorv_core-stubs/__init__.pyi", "dorv/py.typed", "dorv/__main__.py",
            "dorv/data/damped_sine.csv", "dorv/data/ripple.csv"} <= files
    assert not any(f.startswith("dorv/_native/") or "_dorv_testing" in f for f in files)


def test_readme_quickstart_output():
    text = (ROOT / "README.md").read_text()
    code = re.search(r"^## Quickstart\n+```python\n(.*?)^```", text, re.M | re.S).group(1)
    expected = [line.split("#", 1)[1].split(":")[0].strip()
                for line in code.splitlines() if line.startswith("print(")]
    out = run_job(code=code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == expected
