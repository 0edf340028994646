"""Fuzz the public API of vantelo and tidewell in worker processes.

    python -m reliability.fuzz                      # 100,000 cases on 2 workers
    python -m reliability.fuzz --cases 5000 --jobs 1 --only optimize.

(from the top of the repository, like every tool of this package).

Cases are shared out over the targets by weight (the targets that build and solve
problems get fewer), and the targets over the workers. Each worker runs its
targets with Hypothesis and writes what came out to a JSON file after every
target. The parent then prints the cases run per target, a table of the exception
types that came out and, for tidewell, the exception types its documentation does
not promise.

Exit status 1 when a worker died (a negative return code is the signal that
killed it: -11 is a segmentation fault), when anything other than an Exception
escaped a call, or when a call raised a forbidden exception (SystemError, or a
result reported as a success that is not a portfolio).
"""

import argparse
import collections
import json
import math
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from reliability import fuzzing

ROOT = Path(__file__).resolve().parents[1]


def _load_targets(include_crash_probe):
    if include_crash_probe:
        fuzzing.register_crash_probe()
    return fuzzing


def plan(targets, cases, per_target, only):
    """{target: number of cases}."""
    chosen = {name: spec for name, spec in targets.items() if only in name}
    if per_target:
        return {name: per_target for name in chosen}
    total_weight = sum(spec[1] for spec in chosen.values())
    return {
        name: max(1, math.ceil(cases * spec[1] / total_weight)) for name, spec in chosen.items()
    }


def split(counts, targets, jobs):
    """The targets shared over `jobs` workers, balancing cases times weight-derived cost."""
    groups = [[] for _ in range(jobs)]
    load = [0.0] * jobs
    cost = {name: counts[name] / targets[name][1] for name in counts}
    for name in sorted(counts, key=lambda n: -cost[n]):
        i = load.index(min(load))
        groups[i].append(name)
        load[i] += cost[name]
    return [g for g in groups if g]


def worker(args):
    fuzzing = _load_targets(args.include_crash_probe)
    counts = json.loads(args.worker_plan)
    results = {"targets": {}, "failures": [], "deviations": [], "current": None}

    def save():
        with open(args.results, "w", encoding="utf-8") as fh:
            json.dump(results, fh)

    for i, (name, examples) in enumerate(counts.items()):
        results["current"] = name
        save()
        tally = collections.Counter()
        failures, deviations, samples = [], [], {}
        started = time.perf_counter()
        fuzzing.fuzz(
            name,
            examples,
            tally,
            failures,
            derandomize=args.derandomize,
            seed=None if args.seed is None else args.seed + i,
            deviations=deviations,
            samples=samples,
        )
        results["targets"][name] = {
            "tally": dict(tally),
            "seconds": time.perf_counter() - started,
            "samples": samples,
        }
        results["failures"] += failures
        results["deviations"] += deviations
    results["current"] = None
    save()
    return 0


def _signal_name(code):
    try:
        return signal.Signals(-code).name
    except ValueError:
        return f"signal {-code}"


def report(results, problems):
    tallies = {}
    for result in results:
        tallies.update(result["targets"])
    print(
        "{:<45} {:>8} {:>9} {:>11} {:>8}".format(
            "target", "cases", "returned", "exceptions", "seconds"
        )
    )
    kinds = collections.Counter()
    total = 0
    for name in sorted(tallies):
        tally = tallies[name]["tally"]
        cases = sum(tally.values())
        returned = tally.get("(returned)", 0)
        total += cases
        for kind, count in tally.items():
            if kind != "(returned)":
                kinds[kind] += count
        print(
            "{:<45} {:>8} {:>9} {:>11} {:>8.1f}".format(
                name, cases, returned, cases - returned, tallies[name]["seconds"]
            )
        )
    print(f"\ntotal cases: {total}")
    print("\nexception types that came out, with the targets that raised them most:")
    for kind, count in kinds.most_common():
        by_target = sorted(
            ((t["tally"].get(kind, 0), n) for n, t in tallies.items() if kind in t["tally"]),
            reverse=True,
        )
        print(f"  {count:>8}  {kind}")
        for n, target in by_target[:3]:
            sample = tallies[target].get("samples", {}).get(kind, "")
            print(f"  {'':>8}    {n:>6} {target}: {sample[:70]!r}")
    deviations = collections.Counter()
    for result in results:
        for name, kind, _ in result["deviations"]:
            deviations[(name, kind)] += 1
    if deviations:
        print(
            "\ntidewell calls of the right shape that ended in an exception its "
            "documentation does not promise (not a TidewellError):"
        )
        for (name, kind), count in sorted(deviations.items()):
            print(f"  {count:>6}  {name:<35} {kind}")
    failures = [f for result in results for f in result["failures"]]
    for name, kind, message in failures[:20]:
        problems.append(f"{name}: {kind}: {message}")
    if problems:
        print("\nFAILED:")
        for problem in problems:
            print("  " + problem)
    return total


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cases", type=int, default=100_000, help="total cases (default 100000)")
    parser.add_argument("--per-target", type=int, default=0, help="cases per target instead")
    parser.add_argument("--jobs", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--seed", type=int, default=None, help="Hypothesis seed")
    parser.add_argument("--derandomize", action="store_true", help="fixed examples")
    parser.add_argument("--only", default="", help="targets whose name contains this text")
    parser.add_argument(
        "--include-crash-probe",
        action="store_true",
        help="add a target that crashes the interpreter (checks this runner)",
    )
    parser.add_argument("--worker-plan", help=argparse.SUPPRESS)
    parser.add_argument("--results", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker_plan:
        return worker(args)

    fuzzing = _load_targets(args.include_crash_probe)
    counts = plan(fuzzing.TARGETS, args.cases, args.per_target, args.only)
    if not counts:
        parser.error(f"no target matches {args.only!r}")
    groups = split(counts, fuzzing.TARGETS, max(1, args.jobs))
    started = time.perf_counter()
    workdir = tempfile.mkdtemp(prefix="vantelo-fuzz-")
    procs = []
    for i, group in enumerate(groups):
        results = os.path.join(workdir, f"worker-{i}.json")
        command = [
            sys.executable,
            "-m",
            "reliability.fuzz",
            "--worker-plan",
            json.dumps({n: counts[n] for n in group}),
            "--results",
            results,
        ]
        if args.seed is not None:
            command += ["--seed", str(args.seed + 1000 * i)]
        if args.derandomize:
            command.append("--derandomize")
        if args.include_crash_probe:
            command.append("--include-crash-probe")
        procs.append((subprocess.Popen(command, cwd=ROOT), results))
    print(
        f"fuzzing {sum(counts.values())} cases over {len(counts)} targets "
        f"in {len(procs)} worker(s)",
        flush=True,
    )

    problems, results = [], []
    for proc, path in procs:
        code = proc.wait()
        result = {"targets": {}, "failures": [], "deviations": [], "current": None}
        if os.path.exists(path):
            with open(path, encoding="utf-8") as fh:
                result = json.load(fh)
        results.append(result)
        if code < 0:
            problems.append(
                "worker {} killed by {} while running {}".format(
                    proc.pid, _signal_name(code), result["current"]
                )
            )
        elif code != 0:
            problems.append(
                "worker {} exited with status {} while running {}".format(
                    proc.pid, code, result["current"]
                )
            )
    report(results, problems)
    print(f"\n{time.perf_counter() - started:.0f} s")
    for name in os.listdir(workdir):
        os.remove(os.path.join(workdir, name))
    os.rmdir(workdir)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
