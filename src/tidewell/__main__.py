"""Command line: ``python -m tidewell demo [PATH]`` and ``python -m tidewell import SRC DEST``."""

from __future__ import annotations

import argparse
import sys

from ._database import demo_database_path
from ._demo import DEFAULT_SEED, build_demo_database
from ._errors import TidewellError
from ._importer import import_database


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m tidewell", description=__doc__)
    sub = parser.add_subparsers(dest="command", required=True)
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
    args = parser.parse_args(argv)
    try:
        if args.command == "demo":
            build_demo_database(args.path, seed=args.seed)
        else:
            path = import_database(args.source_dir, args.dest)
            print(f"tidewell: imported {args.source_dir} into {path}", file=sys.stderr)
    except TidewellError as exc:
        print(f"tidewell: error: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
