"""One measurement in a fresh process, started by run.py.

    worker.py prepare SIZE DATE PROBLEM_FILE
        build the problem of one pool size and save it (.npz)

    worker.py solve PROBLEM_FILE CASE SOLVER REPEATS BUDGET RESULT_PREFIX
        one warm-up run, then up to REPEATS timed runs of SOLVER on CASE, as long
        as the next run is expected to end within BUDGET seconds of the start
        (run.py stops the process outright at its time limit);
        each finished run is appended to RESULT_PREFIX.jsonl as it ends (so a run
        killed at the time limit leaves what it had), the weights of the last run
        go to RESULT_PREFIX.npy.

Peak memory is this process's ru_maxrss, read after every run.
"""

from __future__ import annotations

import json
import os
import resource
import sys
import time
import traceback

import numpy as np


def peak_rss_mb() -> float:
    # Linux reports kilobytes.
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def emit(path, record):
    with open(path, "a", encoding="utf-8") as handle:
        handle.write(json.dumps(record) + "\n")
        handle.flush()
        os.fsync(handle.fileno())


def prepare(size, date, target):
    from problems import build_problem

    start = time.perf_counter()
    data = build_problem(size, date)
    partial = target + ".partial.npz"
    np.savez(partial, **data)
    os.replace(partial, target)
    print(
        json.dumps(
            {
                "size": size,
                "n": int(len(data["pool"])),
                "n_union": int(len(data["union"])),
                "seconds": time.perf_counter() - start,
            }
        )
    )


def solve(problem_file, case, solver, repeats, budget, prefix):
    started = time.perf_counter()
    log = prefix + ".jsonl"
    if os.path.exists(log):
        os.remove(log)
    from problems import Problem
    from solvers import CLOCK, SOLVERS, NotExpressible

    problem = Problem.load(problem_file)
    setup = SOLVERS[solver][1]
    try:
        run = setup(problem, case)
    except NotExpressible as reason:
        emit(log, {"kind": "n/a", "reason": str(reason)})
        return
    emit(log, {"kind": "setup", "seconds": time.perf_counter() - started, "rss_mb": peak_rss_mb()})

    last = 0.0
    for index in range(repeats + 1):
        elapsed = time.perf_counter() - started
        # Another run only when it should end within the budget.
        if index > 0 and elapsed + 1.2 * last > budget:
            break
        CLOCK.reset()
        try:
            weights = run()
        except Exception as error:  # reported, not raised: the table says what failed
            emit(
                log,
                {
                    "kind": "error",
                    "run": index,
                    "error": f"{type(error).__name__}: {error}",
                    "traceback": traceback.format_exc(limit=6),
                },
            )
            return
        total, stages = CLOCK.finish()
        last = total
        np.save(prefix + ".npy", weights)
        emit(
            log,
            {
                "kind": "run",
                "run": index,
                "warmup": index == 0,
                "total": total,
                "stages": stages,
                "solves": CLOCK.solves,
                "rss_mb": peak_rss_mb(),
            },
        )


def main(argv):
    command = argv[1]
    if command == "prepare":
        prepare(argv[2], argv[3], argv[4])
    elif command == "solve":
        solve(argv[2], argv[3], argv[4], int(argv[5]), float(argv[6]), argv[7])
    else:
        raise SystemExit(f"unknown command {command!r}")


if __name__ == "__main__":
    main(sys.argv)
