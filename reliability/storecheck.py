"""Store integrity: tidewell's importer killed mid-way, and readers during imports.

    python -m reliability.storecheck --kills 40 --swaps 20

Two versions of a small market are written as CSV folders; they differ in every
price change (version 1: +(i+1)e-4 for the i-th stock, version 2: -(i+1)e-4) and in
the instruments' symbols, so that anything read from the store says which version
it came from.

- Kills: the destination holds version 1; an importer process writing version 2
  over it is killed with SIGKILL after a random delay (up to the time a whole
  import takes). Afterwards the destination must read as version 1 or, if the
  kill came after the final rename, version 2, complete and consistent; and the
  next import must succeed.
- Readers: two reader processes read the store in a loop while a third process
  imports version 1 and version 2 over it in turn. Every call must return data
  of one version, never a mixture; both versions must be seen.
"""

import argparse
import glob
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
STOCKS = 120
DAYS = 200
FIRST_DAY = "2024-01-01"


def _days():
    import numpy as np

    return [str(d) for d in np.busday_offset(FIRST_DAY, np.arange(DAYS), roll="forward")]


def ids():
    return [f"{600000 + i:06d}.XSHG" for i in range(STOCKS)]


def rate(version, position):
    """The price change of the stock at `position` in every day of `version`."""
    return (1 if version == 1 else -1) * (position + 1) * 1e-4


def write_source(folder, version):
    """A CSV folder of the market in `version` (1 or 2)."""
    os.makedirs(folder, exist_ok=True)
    days = _days()
    with open(os.path.join(folder, "instruments.csv"), "w") as fh:
        fh.write("order_book_id,symbol,type,exchange,listed_date,de_listed_date\n")
        for code in ids():
            fh.write(f"{code},v{version} {code},CS,XSHG,2010-01-04,\n")
    with open(os.path.join(folder, "trading_dates.csv"), "w") as fh:
        fh.write("date\n" + "\n".join(days) + "\n")
    with open(os.path.join(folder, "price_changes.csv"), "w") as fh:
        fh.write("order_book_id,date,change_rate\n")
        for i, code in enumerate(ids()):
            value = rate(version, i)
            fh.writelines(f"{code},{day},{value!r}\n" for day in days)
    return folder


def version_read(path):
    """What the store at `path` holds, read in one call each: (symbol tag, rate version).

    The tag comes from the instruments, the version from the change rates; each is
    None when that call's data is not wholly one version.
    """
    import tidewell

    tidewell.set_database(path)
    try:
        records = tidewell.instruments(ids())
        tags = {r.symbol.split()[0] for r in records}
        tag = tags.pop() if len(tags) == 1 and len(records) == STOCKS else None
        return tag, rates_version(tidewell.get_price_change_rate(ids(), *_span()))
    finally:
        tidewell.set_database(None)


def _span():
    days = _days()
    return days[0], days[-1]


def rates_version(frame):
    """1 or 2 when every change rate of `frame` is that version's, else None."""
    import numpy as np

    if frame.shape != (DAYS, STOCKS):
        return None
    for version in (1, 2):
        expected = np.array([rate(version, i) for i in range(STOCKS)])
        if np.array_equal(frame.values, np.broadcast_to(expected, frame.shape)):
            return version
    return None


def _python(code, *args):
    return [sys.executable, "-c", code, *map(str, args)]


IMPORT = "import sys, tidewell; tidewell.import_database(sys.argv[1], sys.argv[2])"


def run_import(source, dest):
    """A whole import in a fresh process; returns its duration in seconds."""
    started = time.perf_counter()
    subprocess.run(_python(IMPORT, source, dest), check=True, capture_output=True)
    return time.perf_counter() - started


def leftovers(dest):
    """Temporary files (databases, their logs and locks) an import left next to `dest`."""
    folder, name = os.path.split(dest)
    return glob.glob(os.path.join(folder, "." + name + ".*"))


def kills(workdir, count, seed=0):
    """Kills `count` imports at random points; returns one record per kill."""
    rng = random.Random(seed)
    old = write_source(os.path.join(workdir, "v1"), 1)
    new = write_source(os.path.join(workdir, "v2"), 2)
    dest = os.path.join(workdir, "store.duckdb")
    duration = run_import(old, dest)
    records = []
    for _ in range(count):
        delay = rng.uniform(0, 0.9 * duration)
        importer = subprocess.Popen(_python(IMPORT, new, dest), stderr=subprocess.DEVNULL)
        time.sleep(delay)
        importer.send_signal(signal.SIGKILL)
        code = importer.wait()
        after_kill, left = version_read(dest), len(leftovers(dest))
        # The next import must succeed; it restores version 1 for the next kill.
        run_import(old, dest)
        records.append(
            {
                "delay": delay,
                "returncode": code,
                "after_kill": after_kill,
                "leftovers_after_kill": left,
                "after_next_import": version_read(dest),
                "leftovers_after_next_import": len(leftovers(dest)),
            }
        )
    return {"import_seconds": duration, "kills": records}


READER = """
import json, sys, time
sys.path.insert(0, sys.argv[1])
from reliability import storecheck
import tidewell
dest, stop = sys.argv[2], sys.argv[3]
tidewell.set_database(dest)
counts = {"1": 0, "2": 0, "mixed": 0, "errors": []}
start, end = storecheck._span()
while not __import__("os").path.exists(stop):
    try:
        frame = tidewell.get_price_change_rate(storecheck.ids(), start, end)
    except Exception as error:
        counts["errors"].append(repr(error)[:200])
        continue
    version = storecheck.rates_version(frame)
    counts[str(version) if version else "mixed"] += 1
print(json.dumps(counts))
"""


def readers(workdir, swaps, reader_count=2):
    """`reader_count` readers against a store that a third process re-imports `swaps` times."""
    sources = [write_source(os.path.join(workdir, f"v{v}"), v) for v in (1, 2)]
    dest = os.path.join(workdir, "shared.duckdb")
    run_import(sources[0], dest)
    stop = os.path.join(workdir, "stop")
    procs = [
        subprocess.Popen(_python(READER, ROOT, dest, stop), stdout=subprocess.PIPE, text=True)
        for _ in range(reader_count)
    ]
    time.sleep(0.5)  # let them start reading the first version
    importer = (
        "import sys, tidewell\n"
        "for i in range(int(sys.argv[3])):\n"
        "    tidewell.import_database(sys.argv[1 + (i + 1) % 2], sys.argv[4])\n"
    )
    subprocess.run(_python(importer, *sources, swaps, dest), check=True)
    time.sleep(0.3)  # a last look at the final version
    Path(stop).touch()
    results = [json.loads(p.communicate(timeout=60)[0]) for p in procs]
    return {"swaps": swaps, "readers": results}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--kills", type=int, default=40)
    parser.add_argument("--swaps", type=int, default=20)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)
    sys.path.insert(0, str(ROOT))
    ok = True
    with tempfile.TemporaryDirectory() as workdir:
        result = kills(workdir, args.kills, args.seed)
        seen = {}
        for record in result["kills"]:
            state = record["after_kill"]
            key = f"{state} ({'killed' if record['returncode'] else 'finished first'})"
            seen[key] = seen.get(key, 0) + 1
            ok &= state in (("v1", 1), ("v2", 2)) and record["after_next_import"] == ("v1", 1)
            ok &= record["returncode"] == -9 or state == ("v2", 2)
        print(f"import takes {result['import_seconds']:.2f} s; {args.kills} kills")
        print(f"  store after the kill (symbols, rates): {seen}")
        left = [r["leftovers_after_kill"] for r in result["kills"]]
        after = [r["leftovers_after_next_import"] for r in result["kills"]]
        print(
            f"  temporary files after a kill: {sum(1 for n in left if n)} kills left some "
            f"(at most {max(left)}); after the next import: at most {max(after)}"
        )
        ok &= max(after) == 0
    with tempfile.TemporaryDirectory() as workdir:
        result = readers(workdir, args.swaps)
        for i, counts in enumerate(result["readers"]):
            print(
                f"reader {i}: {counts['1']} calls saw version 1, {counts['2']} version 2, "
                f"{counts['mixed']} a mixture, {len(counts['errors'])} errors"
                + (f" (first: {counts['errors'][0]})" if counts["errors"] else "")
            )
            both_seen = min(counts["1"], counts["2"]) > 0
            ok &= counts["mixed"] == 0 and not counts["errors"] and both_seen
    print("store check " + ("passed" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
