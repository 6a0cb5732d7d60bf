"""Tables for the command-line jobs: reading CSV and Parquet files with pandas, finding columns
by header name or 0-based index, and the one error class that the jobs report in one line.

pandas is imported on first use, so that this module loads without the extra that brings it.
"""

from __future__ import annotations

import importlib
import io
import re
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import pandas as pd

INSTALL_HINT = "pip install 'dorv[batch]'"
PARQUET = (".parquet", ".pq")
# pandas' report of a row longer than the first one
_LONG_ROW = re.compile(r"Expected (\d+) fields in line (\d+), saw (\d+)")


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


def read_table(path: str, delimiter: str = ",") -> pd.DataFrame:
    """The table in a file: Parquet when its name ends in .parquet or .pq, else delimited text.

    Text is read as UTF-8 (a byte-order mark, as spreadsheets write, is ignored); blank lines
    and lines starting with '#' are skipped. A first row that is not all numbers is the header;
    without one the columns are numbered from 0. Header names must differ, and a row with more
    fields than the first is refused. Columns of whole numbers become int64, columns of numbers
    float64 (an empty cell is NaN), others keep their text. The index of a row read from text
    is the number of its line in the file, for messages.
    """
    if not Path(path).is_file():
        raise InputError(f"cannot read {path}: no such file")
    pd = require("pandas", "reading tables")
    if is_parquet(path):
        require("pyarrow", "reading Parquet")
    try:
        frame = pd.read_parquet(path) if is_parquet(path) else _read_text(pd, path, delimiter)
    except (OSError, ValueError) as exc:
        raise InputError(f"cannot read {path}: {one_line(str(exc))}") from None
    repeated = frame.columns[frame.columns.duplicated()]
    if len(repeated):
        raise InputError(f"{path}: the header names column {repeated[0]!r} twice")
    return frame


def _read_text(pd: Any, path: str, delimiter: str) -> pd.DataFrame:
    with open(path, encoding="utf-8-sig") as f:
        kept = [(number, line) for number, line in enumerate(f, start=1)
                if line.strip() and not line.lstrip().startswith("#")]
    if not kept:
        raise InputError(f"{path}: no data rows")
    numbers = [number for number, _ in kept]
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
    if frame.columns.has_duplicates:  # before the columns are taken one by one
        return frame
    return frame.apply(_typed)


def _is_number(cell: Any) -> bool:
    try:
        float(cell)
    except (TypeError, ValueError):
        return False
    return True


def _typed(column: pd.Series) -> pd.Series:
    # Python's own conversions: correctly rounded, so that a table written with repr reads back
    # bit for bit.
    for dtype in (np.int64, np.float64):
        try:
            return column.astype(dtype)
        except (TypeError, ValueError, OverflowError):
            pass
    return column


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
