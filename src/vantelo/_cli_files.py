"""The command line's files: the one reader and writer of weight files, and the
checks of the paths it writes to before any work is done for them."""

import csv
import pathlib
import sys

import pandas as pd

import tidewell
import vantelo.optimize as optimize
import vantelo.report as report
from vantelo import _report as report_core
from vantelo._cli_config import (
    CliError,
)
from vantelo.const import IndustryClassification

# The columns of a weights file; `date` only when it holds several dates.
WEIGHT_COLUMNS = ("order_book_id", "weight")


class _WeightFile:
    """A weights CSV: the columns order_book_id and weight, and date when it holds
    several dates. Every command reads and writes one through this class, with one set
    of checks, each error naming the file and the row."""

    def __init__(self, path):
        self.path = path

    def check_writable(self):
        """Refuses a path no file can be written to, before any work is done for it."""
        _writable(self.path, "-o")

    def write(self, results):
        """Writes {date: weights}; with several dates, a date column first."""
        rows = [
            [str(day)] * (len(results) > 1) + [code, repr(float(weight))]
            for day, weights in results.items()
            for code, weight in weights.items()
        ]
        header = ["date"] * (len(results) > 1) + list(WEIGHT_COLUMNS)
        try:
            with open(self.path, "w", newline="", encoding="utf-8") as handle:
                csv.writer(handle).writerows([header, *rows])
        except OSError as error:
            raise CliError(f"{self.path}: cannot write ({_reason(error)})") from None

    def read(self):
        """{date or None: weights Series}: every row checked, the codes known to the
        store, each date's weights read as every portfolio handed in is read."""
        rows, columns = self._rows()
        by_day = {}
        for line, row in rows:
            code = row[columns["order_book_id"]].strip()
            if not code:
                raise CliError(f"{self.path}:{line}: order_book_id is empty")
            text = row[columns["weight"]].strip()
            try:
                weight = float(text)
            except ValueError:
                raise CliError(f"{self.path}:{line}: weight is not a number: {text!r}") from None
            day = None
            if "date" in columns:
                value = row[columns["date"]].strip()
                try:
                    day = optimize.to_date(value)
                except Exception:
                    raise CliError(
                        f"{self.path}:{line}: {value!r} in column date is not a date"
                    ) from None
            by_day.setdefault(day, []).append((line, code, weight))
        if not by_day:
            raise CliError(f"{self.path}: no weights")
        self._refuse_unknown(by_day)
        result = {}
        for day in sorted(by_day, key=lambda d: (d is not None, d)):
            entries = by_day[day]
            series = pd.Series(
                [w for _, _, w in entries],
                index=pd.Index([c for _, c, _ in entries], name="order_book_id"),
                name="weight",
                dtype="float64",
            )
            name = f"{self.path}" if day is None else f"{self.path} ({day})"
            # The sum is the reader's to refuse (naming the file), the report's and the
            # check's to warn about, once.
            try:
                result[day] = report_core.read_weights(series, name, True, False)
            except optimize.InvalidArgument as error:
                raise CliError(str(error)) from None
        return result

    def _rows(self):
        try:
            with open(self.path, newline="", encoding="utf-8-sig") as handle:
                reader = csv.reader(handle)
                table = [(reader.line_num, row) for row in reader if row]
        except FileNotFoundError:
            raise CliError(f"{self.path}: no such file") from None
        except OSError as error:
            raise CliError(f"{self.path}: cannot read ({_reason(error)})") from None
        except UnicodeDecodeError:
            raise CliError(f"{self.path}: not UTF-8 text") from None
        except csv.Error as error:
            raise CliError(f"{self.path}: not a readable CSV file ({error})") from None
        if not table:
            raise CliError(f"{self.path}: empty file")
        header = [name.strip() for name in table[0][1]]
        missing = [c for c in WEIGHT_COLUMNS if c not in header]
        if missing:
            raise CliError(f"{self.path}: no column {' or '.join(missing)} (columns: {header})")
        columns = {
            name: header.index(name) for name in (*WEIGHT_COLUMNS, "date") if name in header
        }
        for line, row in table[1:]:
            if len(row) != len(header):
                raise CliError(
                    f"{self.path}:{line}: {len(row)} fields where the header has "
                    f"{len(header)} ({', '.join(header)}): {','.join(row)}"
                )
        return table[1:], columns

    def _refuse_unknown(self, by_day):
        codes = list(dict.fromkeys(c for entries in by_day.values() for _, c, _ in entries))
        known = {record.order_book_id for record in tidewell.instruments(codes)}
        for entries in by_day.values():
            for line, code, _ in entries:
                if code not in known:
                    raise CliError(f"{self.path}:{line}: unknown order_book_id {code!r}")


def _reason(error):
    return error.strerror or str(error)


def _writable(path, option):
    """Refuses an output path no file can be written to, naming the option."""
    try:
        report.writable_path(path)
    except optimize.InvalidArgument as error:
        raise CliError(f"{option}: {str(error).split(': ', 1)[-1]}") from None


def _report_path(path, day, several):
    path = pathlib.Path(path)
    return path.with_name(f"{path.stem}-{day}{path.suffix}") if several else path


def _write_report(
    weights, day, benchmark, cov_model, path, classification=IndustryClassification.SWS
):
    result = report.portfolio_report(
        weights, day, benchmark=benchmark, cov_model=cov_model, classification=classification
    )
    result.to_html(path)
    print(f"report: {path}", file=sys.stderr)
