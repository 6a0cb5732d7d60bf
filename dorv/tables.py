"""Tables for the command-line jobs: reading CSV and Parquet files with pandas, finding columns
by header name or 0-based index, dates as decimal years, incomplete rows, files written whole,
and the one error class that the jobs report in one line.

pandas is imported on first use, so that this module loads without the extra that brings it.
"""

from __future__ import annotations

import contextlib
import csv
import datetime
import importlib
import io
import math
import os
import re
import signal
import tempfile
import threading
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import pandas as pd

INSTALL_HINT = "pip install 'dorv[batch]'"
PARQUET = (".parquet", ".pq")
# pandas' report of a row longer than the first one
_LONG_ROW = re.compile(r"Expected (\d+) fields in line (\d+), saw (\d+)")
# Field separators a text table may use, and the lines they are guessed from.
DELIMITERS = ",;\t|"
SNIFFED_LINES = 50
# Header names of a first column that holds the rows' names or numbers: R's write.csv and
# pandas' to_csv leave it unnamed, R's data set exports call it "rownames", and pandas reads an
# unnamed one back as "Unnamed: 0".
INDEX_NAMES = ("", "rownames", "unnamed: 0")
# Dates and times in ISO 8601, as R and spreadsheets export them: 2020-07-02, 2020-07-02 13:45,
# 2020-07-02T13:45:10.5+02:00.
_ISO_DATE = re.compile(r"\d{4}-\d{2}-\d{2}([T ]\d{2}:\d{2}(:\d{2}(\.\d*)?)?)?(Z|[+-]\d{2}:?\d{2})?")


class InputError(Exception):
    """Bad input data or options: reported to the user in one `dorv: error:` line."""


def require(module: str, purpose: str) -> Any:
    """Import an optional dependency of the batch extra, or say in one line how to get it."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:  # missing, or refusing the installed versions of its own needs
        raise ImportError(f"{purpose} needs {module}: {INSTALL_HINT} ({exc})") from exc


def is_parquet(path: str) -> bool:
    return path.lower().endswith(PARQUET)


def read_table(path: str, delimiter: str | None = None) -> pd.DataFrame:
    """The table in a file: Parquet when its name ends in .parquet or .pq, else delimited text.

    Text is read as UTF-8 (a byte-order mark, as spreadsheets write, is ignored); blank lines
    and lines starting with '#' are skipped. Without a `delimiter` it is guessed from the first
    lines among comma, semicolon, tab and '|' (comma when none fits). A first row that is not
    all numbers is the header; without one the columns are numbered from 0. A first column
    named "", "rownames" or "Unnamed: 0" holds the rows' names (as R and pandas export tables):
    it is left out, and its name is in ``frame.attrs["index_column"]``. Header names must
    differ, and a row with more fields than the first is refused. Columns of whole numbers
    become int64 (Int64 when some cells are empty), columns of numbers float64 (an empty cell
    is NaN), others keep their text. The index of a row read from text is the number of its
    line in the file, for messages.

    Ctrl-C while the file is read raises KeyboardInterrupt, never an error about the file.
    """
    if not Path(path).is_file():
        raise InputError(f"cannot read {path}: no such file")
    pd = require("pandas", "reading tables")
    if is_parquet(path):
        require("pyarrow", "reading Parquet")
    try:
        with _interrupt_kept():
            frame = pd.read_parquet(path) if is_parquet(path) else \
                _read_text(pd, path, delimiter)
    except (OSError, ValueError) as exc:
        raise InputError(f"cannot read {path}: {one_line(str(exc))}") from None
    frame, index_column = _without_index(frame)
    repeated = frame.columns[frame.columns.duplicated()]
    if len(repeated):
        raise InputError(f"{path}: the header names column {repeated[0]!r} twice")
    if not is_parquet(path):
        frame = frame.apply(_typed)
    if index_column is not None:
        frame.attrs["index_column"] = index_column
    return frame


@contextlib.contextmanager
def _interrupt_kept() -> Iterator[None]:
    """pandas' C parser reports a KeyboardInterrupt raised in the Python read of its source as
    an error of the source (a ParserError); a Ctrl-C noted here raises KeyboardInterrupt after
    all. Only the main thread gets signals, and only Python's default handler is replaced."""
    if (threading.current_thread() is not threading.main_thread()
            or signal.getsignal(signal.SIGINT) is not signal.default_int_handler):
        yield
        return
    pressed = []

    def note(signum: int, frame: Any) -> None:
        pressed.append(signum)
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGINT, note)
    try:
        yield
    except Exception:
        if pressed:
            raise KeyboardInterrupt from None
        raise
    finally:
        signal.signal(signal.SIGINT, previous)
    if pressed:  # swallowed on the way
        raise KeyboardInterrupt


def _read_text(pd: Any, path: str, delimiter: str | None) -> pd.DataFrame:
    with open(path, encoding="utf-8-sig") as f:
        kept = [(number, line) for number, line in enumerate(f, start=1)
                if line.strip() and not line.lstrip().startswith("#")]
    if not kept:
        raise InputError(f"{path}: no data rows")
    numbers = [number for number, _ in kept]
    if delimiter is None:
        delimiter = sniffed_delimiter([line for _, line in kept[:SNIFFED_LINES]])
    try:
        frame = pd.read_csv(io.StringIO("".join(line for _, line in kept)), sep=delimiter,
                            header=None, dtype=object)
    except pd.errors.ParserError as exc:
        long_row = _LONG_ROW.search(str(exc))
        if long_row is None:
            raise
        expected, line, saw = map(int, long_row.groups())
        raise InputError(f"{path} line {numbers[line - 1]}: {saw} fields where the first row "
                         f"has {expected}") from None
    # Quoted fields holding line breaks join lines into one row: then rows are numbered instead.
    frame.index = numbers if len(frame) == len(numbers) else range(1, len(frame) + 1)
    first = frame.iloc[0]
    if not all(_is_number(cell) for cell in first):
        frame = frame.iloc[1:]
        frame.columns = [cell.strip() if isinstance(cell, str) else "" for cell in first]
        if frame.empty:
            raise InputError(f"{path}: no data rows below the header")
    return frame


def sniffed_delimiter(lines: list[str]) -> str:
    """The field separator of text lines: one of DELIMITERS, by csv.Sniffer; ',' when none
    fits (a table of one column)."""
    try:
        return csv.Sniffer().sniff("".join(lines), delimiters=DELIMITERS).delimiter
    except csv.Error:
        return ","


def _without_index(frame: pd.DataFrame) -> tuple[pd.DataFrame, str | None]:
    """The frame without a first column of row names (INDEX_NAMES), and that column's name."""
    if len(frame.columns) < 2:
        return frame, None
    first = frame.columns[0]
    if not isinstance(first, str) or first.strip().lower() not in INDEX_NAMES:
        return frame, None
    return frame.iloc[:, 1:], first


def _is_number(cell: Any) -> bool:
    try:
        float(cell)
    except (TypeError, ValueError):
        return False
    return True


_WHOLE_NUMBER = re.compile(r"\s*[+-]?\d+\s*")


def _typed(column: pd.Series) -> pd.Series:
    # Python's own conversions: correctly rounded, so that a table written with repr reads back
    # bit for bit.
    for dtype in (np.int64, np.float64):
        try:
            typed = column.astype(dtype)
        except (TypeError, ValueError, OverflowError):
            continue
        if dtype is np.float64 and typed.isna().any() and all(
                isinstance(cell, str) and _WHOLE_NUMBER.fullmatch(cell)
                for cell in column[typed.notna()]):
            return typed.astype("Int64")  # whole numbers with gaps stay whole
        return typed
    return column


def is_missing(cell: Any) -> bool:
    """An empty cell: None, NaN, pandas' NA or text of blanks."""
    if isinstance(cell, str):
        return not cell.strip()
    try:
        return bool(cell is None or cell != cell)
    except TypeError:  # pandas' NA has no truth value
        return True


def drop_incomplete(frame: pd.DataFrame, columns: Sequence[Any]) -> tuple[pd.DataFrame, int]:
    """The rows of `frame` with a value in each of `columns`, and the number left out."""
    missing = np.zeros(len(frame), dtype=bool)
    for c in columns:
        column = frame[c]
        missing |= column.isna().to_numpy(dtype=bool)
        if not _numeric(column):
            missing |= column.map(is_missing).to_numpy(dtype=bool)
    return frame[~missing], int(missing.sum())


def _numeric(column: pd.Series) -> bool:
    return column.dtype.kind in "biuf" or str(column.dtype) == "Int64"


def decimal_years(column: pd.Series, path: str) -> pd.Series | None:
    """A column of dates as decimal years (2020-07-02 is 2020.5: 183 of the 366 days of 2020 have
    passed), or None when it does not hold dates: datetime values, or text in ISO 8601 (a date,
    perhaps with a time and an offset, which is turned to UTC). Empty cells stay NaN; a cell
    of the right form that is no date (2020-02-30) is refused, naming its line."""
    pd = require("pandas", "reading tables")
    if pd.api.types.is_datetime64_any_dtype(column):
        stamps = pd.to_datetime(column, utc=True)
    elif not _numeric(column):
        present = [cell for cell in column if not is_missing(cell)]
        if not present or not all(isinstance(cell, datetime.date) or isinstance(cell, str)
                                  and _ISO_DATE.fullmatch(cell.strip()) for cell in present):
            return None
        stripped = column.map(lambda cell: cell.isoformat() if isinstance(cell, datetime.date)
                              else cell.strip() if isinstance(cell, str) else None)
        stamps = pd.to_datetime(stripped, format="ISO8601", utc=True, errors="coerce")
        wrong = stamps.isna() & stripped.notna() & (stripped != "")
        if wrong.any():
            line = wrong.idxmax()
            raise InputError(f"{path} line {line}: {stripped[line]!r} in column "
                             f"{name_of(column.name)!r} is not a date")
    else:
        return None
    ns = stamps.dt.tz_localize(None).to_numpy("datetime64[ns]")
    year = ns.astype("datetime64[Y]")
    start = year.astype("datetime64[ns]")
    end = (year + np.timedelta64(1, "Y")).astype("datetime64[ns]")
    with np.errstate(invalid="ignore"):
        value = year.astype(np.int64) + 1970 + (ns - start) / (end - start)
    return pd.Series(np.where(np.isnat(ns), math.nan, value), index=column.index,
                     name=column.name)


@contextlib.contextmanager
def written_whole(path: str) -> Iterator[str]:
    """A temporary name beside `path` to write a file to, renamed to `path` once the block ends;
    removed instead when the block raises (Ctrl-C included). A file at `path` is thus never
    partial, and a finished one is replaced only by another. The temporary name ends in the
    suffix of `path`, so that writers that go by it choose the same format."""
    folder, name = os.path.split(os.path.abspath(path))
    try:
        handle, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=Path(name).suffix,
                                             dir=folder)
    except OSError as exc:
        raise InputError(f"cannot write {path}: {exc.strerror or exc}") from None
    os.close(handle)
    try:
        yield temporary
        os.chmod(temporary, _mode_of_new(path))
        try:
            os.replace(temporary, path)
        except OSError as exc:  # a folder of that name, say
            raise InputError(f"cannot write {path}: {exc.strerror or exc}") from None
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def _mode_of_new(path: str) -> int:
    """Permissions of a file written at `path`: those of the file there, or what the umask
    gives a new one (mkstemp's own are for its owner only)."""
    try:
        return os.stat(path).st_mode & 0o7777
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


def name_of(column: Any) -> str:
    """A column as messages show it: its header name, or "column i" without a header."""
    return column if isinstance(column, str) else f"column {column}"


def find_columns(frame: pd.DataFrame, option: str, wanted: Sequence[str]) -> list[Any]:
    """The columns of `frame` named by `wanted`: header names or 0-based indices."""
    found = []
    for item in wanted:
        if item in frame.columns:
            found.append(item)
        elif item.isdigit() and int(item) < len(frame.columns):
            found.append(frame.columns[int(item)])
        else:
            shown = ", ".join(map(name_of, frame.columns[:20]))
            hint = "; check --delimiter" if len(frame.columns) == 1 else ""
            raise InputError(f"{option}: no column {item!r} in the input (columns: {shown})"
                             + hint)
    return found


def model_columns(frame: pd.DataFrame, path: str, x_cols: Sequence[str],
                  y_col: str | None) -> tuple[list[Any], Any]:
    """The input columns named by --x-col and the target named by --y-col (by default the first
    column that is not an input), each column in one part only."""
    inputs = find_columns(frame, "--x-col", x_cols)
    if y_col is None:
        rest = [c for c in frame.columns if c not in inputs]
        if not rest:
            raise InputError(f"{path}: no column left for the target; name one with --y-col")
        target = rest[0]
    else:
        (target,) = find_columns(frame, "--y-col", [y_col])
    distinct_parts({"--x-col": inputs, "--y-col": [target]})
    return inputs, target


def distinct_parts(parts: dict[str, list[Any]]) -> None:
    """Refuses a column that two options, or one option twice, name: it can play one part."""
    seen: dict[Any, str] = {}
    for option, columns in parts.items():
        for column in columns:
            if column in seen:
                twice = f"{option} twice" if seen[column] == option else \
                    f"both {seen[column]} and {option}"
                raise InputError(f"{twice} name {name_of(column)!r}: a column can play one "
                                 "part only")
            seen[column] = option


def one_line(text: str) -> str:
    return " ".join(text.split())
