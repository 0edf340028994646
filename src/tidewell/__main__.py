"""Command line: ``python -m tidewell demo [PATH]`` and ``python -m tidewell import SRC DEST``.

An import of a folder without a risk model builds one from its prices (see
``--build-risk-model`` and ``--no-risk-model``)."""

from __future__ import annotations

import argparse
import sys

from ._database import demo_database_path, destination
from ._demo import DEFAULT_SEED, build_demo_database
from ._errors import TidewellError
from ._importer import _import

PROG = "python -m tidewell"


def _one_line(text: str) -> str:
    return " ".join(part.strip() for part in str(text).splitlines() if part.strip())


class _Parser(argparse.ArgumentParser):
    """Usage mistakes end like every other error: one line on stderr, no usage dump."""

    def error(self, message):
        self.exit(2, f"tidewell: error: {_one_line(message)} (see {PROG} --help)\n")


def main(argv=None) -> int:
    parser = _Parser(prog=PROG, description=__doc__)
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    demo = sub.add_parser("demo", help="build the demo database")
    demo.add_argument(
        "path",
        nargs="?",
        default=None,
        help=f"where to write it (default {demo_database_path()})",
    )
    demo.add_argument("--seed", type=int, default=DEFAULT_SEED, help="random seed")
    imp = sub.add_parser("import", help="build a database from CSV/Parquet files")
    imp.add_argument("source_dir", help="folder with one file per table")
    imp.add_argument("dest", help="database file to write (replaced only on success)")
    imp.add_argument(
        "--force",
        action="store_true",
        help="replace DEST even when it is not a tidewell database",
    )
    model = imp.add_mutually_exclusive_group()
    model.add_argument(
        "--build-risk-model",
        dest="build_risk_model",
        action="store_const",
        const=True,
        default=None,
        help="build the risk model from the prices, an error when they cannot carry one "
        "(default: built when the folder has none and the prices allow one)",
    )
    model.add_argument(
        "--no-risk-model",
        dest="build_risk_model",
        action="store_const",
        const=False,
        help="import without building a risk model",
    )
    imp.add_argument("--quiet", action="store_true", help="no progress bar (shown on a terminal)")
    args = parser.parse_args(argv)
    try:
        if args.command == "demo":
            if args.path:  # refuse a wrong path before the build, not after it
                destination(args.path)
            build_demo_database(args.path, seed=args.seed)
        else:
            path, model = _import(
                args.source_dir,
                args.dest,
                args.force,
                args.build_risk_model,
                None if not args.quiet else False,
            )
            print(f"tidewell: imported {args.source_dir} into {path}", file=sys.stderr)
            if model.startswith(("built", "not built")):
                print(f"tidewell: risk model {model}", file=sys.stderr)
    except KeyboardInterrupt:
        print("tidewell: interrupted", file=sys.stderr)
        return 130
    except TidewellError as exc:
        print(f"tidewell: error: {_one_line(exc)}", file=sys.stderr)
        return 1
    except Exception as exc:  # noqa: BLE001 - a command line ends in one line, never a traceback
        print(f"tidewell: error: {type(exc).__name__}: {_one_line(exc)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
