"""Speed and accuracy of vantelo next to what users would pick instead.

    python benchmarks/run.py            # all sizes (300, 800, 1800, 5000), all cases
    python benchmarks/run.py --quick    # 300 and 800 only

Every measurement runs in a fresh process (worker.py), so peak memory is per
solver and case and a run that passes the time limit can be stopped without
losing the rest. See benchmarks/README.md for what the columns mean.
"""

from __future__ import annotations

import argparse
import csv
import datetime
import json
import os
import platform
import signal
import subprocess
import sys
import time
from collections import OrderedDict

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from problems import CASES, DATE, SIZES, Problem, objective, relative_gap, violations  # noqa: E402
from solvers import REFERENCE, SOLVERS  # noqa: E402

COLUMNS = [
    "size",
    "n",
    "case",
    "solver",
    "status",
    "runs",
    "total_s",
    "data_s",
    "helper_s",
    "build_s",
    "solve_s",
    "solver_s",
    "peak_rss_mb",
    "solver_used",
    "iterations",
    "objective",
    "rel_gap",
    "max_violation",
    "violated",
    "l1_to_reference",
]


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="only the 300 and 800 pools")
    parser.add_argument(
        "--sizes", help="comma-separated pool sizes out of " + ", ".join(SIZES), default=None
    )
    parser.add_argument(
        "--cases", help="comma-separated cases out of " + ", ".join(CASES), default=None
    )
    parser.add_argument(
        "--solvers", help="comma-separated solvers out of " + ", ".join(SOLVERS), default=None
    )
    parser.add_argument("--date", default=DATE, help="optimisation date (default %(default)s)")
    parser.add_argument(
        "--repeats", type=int, default=3, help="timed runs after the warm-up (default 3)"
    )
    parser.add_argument(
        "--timeout",
        type=float,
        default=600.0,
        help="seconds allowed for one solver on one case, warm-up included (default 600)",
    )
    parser.add_argument(
        "--repeat-budget",
        type=float,
        default=120.0,
        help="start another timed run only while one solver's measurement has used "
        "less than this many seconds (default 120; the warm-up always runs)",
    )
    parser.add_argument(
        "--retry-after-timeout",
        action="store_true",
        help="also run a solver on larger pools of a case it timed out on (default: skip)",
    )
    parser.add_argument(
        "--out", default=os.path.join(HERE, "out"), help="output folder (default benchmarks/out)"
    )
    parser.add_argument("--no-chart", action="store_true", help="skip the PNG chart")
    args = parser.parse_args(argv)
    if args.sizes:
        args.sizes = [s.strip() for s in args.sizes.split(",") if s.strip()]
    else:
        args.sizes = ["300", "800"] if args.quick else list(SIZES)
    args.cases = [c.strip() for c in args.cases.split(",")] if args.cases else list(CASES)
    args.solvers = [s.strip() for s in args.solvers.split(",")] if args.solvers else list(SOLVERS)
    for name, chosen, known in (
        ("size", args.sizes, SIZES),
        ("case", args.cases, CASES),
        ("solver", args.solvers, SOLVERS),
    ):
        unknown = [x for x in chosen if x not in known]
        if unknown:
            parser.error(f"unknown {name}(s): {', '.join(unknown)}")
    if REFERENCE not in args.solvers:
        # Accuracy is measured against it.
        args.solvers.insert(0, REFERENCE)
    else:
        args.solvers.remove(REFERENCE)
        args.solvers.insert(0, REFERENCE)
    return args


def log(message):
    print(message, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# Child processes
# ---------------------------------------------------------------------------


def run_child(arguments, timeout):
    """Run worker.py with a time limit; returns (finished, seconds, stdout, stderr)."""
    command = [sys.executable, os.path.join(HERE, "worker.py")] + arguments
    start = time.perf_counter()
    process = subprocess.Popen(
        command,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        cwd=HERE,
        start_new_session=True,
    )
    try:
        out, err = process.communicate(timeout=timeout)
        return process.returncode, time.perf_counter() - start, out, err
    except subprocess.TimeoutExpired:
        # The worker leads its own session: stop it and whatever it started.
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        out, err = process.communicate()
        return None, time.perf_counter() - start, out, err


def read_log(path):
    records = []
    if os.path.exists(path):
        with open(path, encoding="utf-8") as handle:
            for line in handle:
                line = line.strip()
                if line:
                    records.append(json.loads(line))
    return records


def summarise(records, returncode, stderr, timeout):
    """One row's timing fields from the worker's log."""
    row = OrderedDict()
    for record in records:
        if record["kind"] == "n/a":
            row["status"] = "n/a: " + record["reason"]
            return row
    runs = [r for r in records if r["kind"] == "run"]
    errors = [r for r in records if r["kind"] == "error"]
    timed = [r for r in runs if not r["warmup"]] or runs
    if errors and not runs:
        row["status"] = "failed: " + errors[0]["error"].splitlines()[0][:160]
    elif not runs:
        if returncode is None:
            row["status"] = f"timed out (>{timeout:.0f} s)"
        else:
            if returncode < 0:
                try:
                    cause = signal.Signals(-returncode).name
                except ValueError:
                    cause = f"signal {-returncode}"
                row["status"] = f"failed: the process crashed ({cause})"
            else:
                tail = (stderr or "").strip().splitlines()[-1:] or ["no output"]
                row["status"] = f"failed: exit code {returncode}: {tail[0][:160]}"
    else:
        last_solve = (runs[-1].get("solves") or [{}])[-1]
        status = last_solve.get("status")
        row["status"] = "ok" if status in (None, "optimal") else str(status)
        if errors:
            row["status"] += "; later run failed: " + errors[0]["error"][:80]
        if returncode is None:
            row["status"] += " (stopped at the time limit)"
    if not runs:
        return row
    warm_only = not any(not r["warmup"] for r in runs)
    row["runs"] = "1 (warm-up only)" if warm_only else str(len(timed))

    def median(values):
        return float(np.median(values))

    row["total_s"] = median([r["total"] for r in timed])
    for stage in ("data", "helper", "build", "solve"):
        row[stage + "_s"] = median([r["stages"][stage] for r in timed])
    solver_times = [sum((s.get("solver_time") or 0.0) for s in r.get("solves", [])) for r in timed]
    row["solver_s"] = median(solver_times)
    row["peak_rss_mb"] = max(r["rss_mb"] for r in runs)
    solves = runs[-1].get("solves") or []
    if solves:
        names = sorted({str(s.get("solver")) for s in solves})
        row["solver_used"] = "+".join(names) + (f" x{len(solves)}" if len(solves) > 1 else "")
        row["iterations"] = "+".join(str(s.get("iterations")) for s in solves)
    return row


# ---------------------------------------------------------------------------
# The run
# ---------------------------------------------------------------------------


def fmt(value, kind):
    if value is None or (isinstance(value, float) and np.isnan(value)):
        return ""
    if kind == "s":
        return f"{value:.3f}" if value < 10 else f"{value:.1f}"
    if kind == "mb":
        return f"{value:.0f}"
    if kind == "e":
        return f"{value:.2e}"
    if kind == "g":
        return f"{value:.6g}"
    return str(value)


def main(argv=None):
    args = parse_args(argv)
    out = os.path.abspath(args.out)
    work = os.path.join(out, "work")
    os.makedirs(work, exist_ok=True)
    started = time.time()
    rows = []
    timed_out = {}  # (case, solver) -> size it timed out at

    for size in args.sizes:
        problem_file = os.path.join(work, f"problem-{size}-{args.date}.npz")
        log(f"[{size}] preparing the pool ({SIZES[size]})")
        code, seconds, stdout, stderr = run_child(
            ["prepare", size, args.date, problem_file], args.timeout
        )
        if code != 0:
            reason = "timed out" if code is None else (stderr.strip().splitlines() or ["?"])[-1]
            log(f"[{size}] preparation failed: {reason}")
            for case in args.cases:
                for solver in args.solvers:
                    rows.append(
                        OrderedDict(
                            size=size,
                            case=case,
                            solver=solver,
                            status=f"failed: preparing the pool: {reason}"[:200],
                        )
                    )
            continue
        problem = Problem.load(problem_file)
        log(f"[{size}] {problem.n} stocks ({problem.n_union} with the benchmark), {seconds:.1f} s")
        for case in args.cases:
            reference_weights = None
            reference_value = None
            for solver in args.solvers:
                row = OrderedDict(size=size, n=problem.n, case=case, solver=solver)
                if (case, solver) in timed_out and not args.retry_after_timeout:
                    row["status"] = (
                        f"timed out (not run: timed out at size {timed_out[(case, solver)]})"
                    )
                    rows.append(row)
                    log(f"[{size}] {case} {solver}: {row['status']}")
                    continue
                prefix = os.path.join(work, f"{size}-{case}-{solver}")
                for suffix in (".jsonl", ".npy"):
                    if os.path.exists(prefix + suffix):
                        os.remove(prefix + suffix)
                code, seconds, stdout, stderr = run_child(
                    [
                        "solve",
                        problem_file,
                        case,
                        solver,
                        str(args.repeats),
                        str(min(args.timeout, args.repeat_budget)),
                        prefix,
                    ],
                    args.timeout,
                )
                row.update(summarise(read_log(prefix + ".jsonl"), code, stderr, args.timeout))
                if row["status"].startswith("timed out"):
                    timed_out[(case, solver)] = size
                has_weights = "total_s" in row and os.path.exists(prefix + ".npy")
                if has_weights:
                    weights = np.load(prefix + ".npy")
                    value = objective(problem, case, weights)
                    row["objective"] = value
                    found = violations(problem, case, weights)
                    worst = max(found, key=found.get)
                    row["max_violation"] = found[worst]
                    row["violated"] = worst if found[worst] > 0 else ""
                    if solver == REFERENCE and row["status"] == "ok":
                        reference_weights, reference_value = weights, value
                    if reference_weights is not None:
                        row["rel_gap"] = relative_gap(case, value, reference_value)
                        row["l1_to_reference"] = float(np.abs(weights - reference_weights).sum())
                rows.append(row)
                log(
                    f"[{size}] {case} {solver}: {row['status']}"
                    + (f", {row['total_s']:.3f} s" if "total_s" in row else "")
                    + (f", gap {row['rel_gap']:.2e}" if "rel_gap" in row else "")
                )

    finished = time.time()
    machine = describe_machine()
    machine["wall_minutes"] = f"{(finished - started) / 60:.1f}"
    machine["arguments"] = " ".join(sys.argv[1:] if argv is None else argv) or "(none)"
    write_outputs(out, rows, machine, args)
    return 0


# ---------------------------------------------------------------------------
# Output
# ---------------------------------------------------------------------------


def _version(module):
    try:
        from importlib.metadata import version

        return version(module)
    except Exception:
        return "not installed"


def describe_machine():
    cpu = "unknown"
    memory = "unknown"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as handle:
            for line in handle:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
        with open("/proc/meminfo", encoding="utf-8") as handle:
            for line in handle:
                if line.startswith("MemTotal"):
                    memory = f"{int(line.split()[1]) / 1024 / 1024:.1f} GiB"
                    break
    except OSError:
        pass
    return OrderedDict(
        date=datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        nproc=str(os.cpu_count()),
        cpu=cpu,
        memory=memory,
        python=platform.python_version(),
        numpy=_version("numpy"),
        cvxpy=_version("cvxpy"),
        scs=_version("scs"),
        clarabel=_version("clarabel"),
        pyportfolioopt=_version("PyPortfolioOpt"),
        skfolio=_version("skfolio"),
    )


SPEED_HEADER = [
    ("size", "size"),
    ("n", "n"),
    ("case", "case"),
    ("dense_total", "dense total s"),
    ("factor_total", "factor total s"),
    ("data", "data s"),
    ("helper", "helper s"),
    ("build", "build s"),
    ("solve", "solve s"),
    ("dense_rss", "dense peak MB"),
    ("factor_rss", "factor peak MB"),
]

COMPARE_HEADER = [
    ("size", "size"),
    ("case", "case"),
    ("solver", "solver"),
    ("status", "status"),
    ("runs", "runs"),
    ("total_s", "total s"),
    ("solve_s", "solve s"),
    ("peak_rss_mb", "peak MB"),
    ("solver_used", "solver (iterations)"),
    ("objective", "objective"),
    ("rel_gap", "rel gap"),
    ("max_violation", "max viol"),
    ("violated", "where"),
    ("l1_to_reference", "L1 to ref"),
]


def speed_rows(rows, notes):
    """vantelo's stages, dense (before) and factor (after) side by side."""
    found = OrderedDict()
    for row in rows:
        if not row["solver"].startswith("vantelo"):
            continue
        key = (row["size"], row["case"])
        entry = found.setdefault(key, {"size": row["size"], "n": row.get("n", ""), "case": key[1]})
        mode = "dense" if row["solver"].endswith("dense") else "factor"
        if "total_s" in row:
            entry[mode + "_total"] = fmt(row["total_s"], "s")
            entry[mode + "_rss"] = fmt(row.get("peak_rss_mb"), "mb")
            if mode == "factor":
                for stage in ("data", "helper", "build", "solve"):
                    entry[stage] = fmt(row.get(stage + "_s"), "s")
        else:
            entry[mode + "_total"] = notes.short(row["status"])
    return list(found.values())


class Notes:
    """Long statuses become a short word and a numbered note under the table."""

    LIMIT = 24

    def __init__(self):
        self.messages = OrderedDict()

    def short(self, status):
        if len(status) <= self.LIMIT:
            return status
        number = self.messages.setdefault(status, len(self.messages) + 1)
        head = status.split(":", 1)[0].split(" (", 1)[0]
        return f"{head} [{number}]"

    def lines(self):
        return [f"[{number}] {message}" for message, number in self.messages.items()]


def compare_rows(rows, notes):
    table = []
    for row in rows:
        entry = {key: row.get(key, "") for key, _ in COMPARE_HEADER}
        entry["status"] = notes.short(row.get("status", ""))
        entry["total_s"] = fmt(row.get("total_s"), "s")
        entry["solve_s"] = fmt(row.get("solve_s"), "s")
        entry["peak_rss_mb"] = fmt(row.get("peak_rss_mb"), "mb")
        if row.get("solver_used"):
            entry["solver_used"] = f"{row['solver_used']} ({row.get('iterations', '')})"
        entry["objective"] = fmt(row.get("objective"), "g")
        entry["rel_gap"] = fmt(row.get("rel_gap"), "e")
        entry["max_violation"] = fmt(row.get("max_violation"), "e")
        entry["l1_to_reference"] = fmt(row.get("l1_to_reference"), "e")
        table.append(entry)
    return table


def text_table(header, entries):
    widths = [
        max([len(title)] + [len(str(e.get(key, ""))) for e in entries]) for key, title in header
    ]
    lines = ["  ".join(title.ljust(w) for (_, title), w in zip(header, widths))]
    lines.append("  ".join("-" * w for w in widths))
    for entry in entries:
        lines.append(
            "  ".join(str(entry.get(k, "")).ljust(w) for (k, _), w in zip(header, widths))
        )
    return "\n".join(lines)


def markdown_table(header, entries):
    lines = ["| " + " | ".join(title for _, title in header) + " |"]
    lines.append("|" + "|".join("---" for _ in header) + "|")
    for entry in entries:
        cells = [str(entry.get(key, "")).replace("|", "/") for key, _ in header]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def write_outputs(out, rows, machine, args):
    os.makedirs(out, exist_ok=True)
    csv_path = os.path.join(out, "results.csv")
    with open(csv_path, "w", newline="", encoding="utf-8") as handle:
        writer = csv.DictWriter(handle, fieldnames=COLUMNS, extrasaction="ignore")
        writer.writeheader()
        for row in rows:
            writer.writerow({key: row.get(key, "") for key in COLUMNS})

    machine_line = (
        f"{machine['date']}; {machine['nproc']} CPUs ({machine['cpu']}), {machine['memory']}; "
        f"Python {machine['python']}, numpy {machine['numpy']}, cvxpy {machine['cvxpy']}, "
        f"SCS {machine['scs']}, Clarabel {machine['clarabel']}, "
        f"PyPortfolioOpt {machine['pyportfolioopt']}, skfolio {machine['skfolio']}; "
        f"arguments: {machine['arguments']}; whole run {machine['wall_minutes']} min"
    )
    notes = Notes()
    speed = speed_rows(rows, notes)
    compare = compare_rows(rows, notes)
    text = [
        machine_line,
        "",
        "vantelo by stage, dense cp.quad_form (before) and factor form (after); "
        "stages of the factor run",
        text_table(SPEED_HEADER, speed),
        "",
        "All solvers; accuracy against the reference (cvxpy + Clarabel, tight tolerances)",
        text_table(COMPARE_HEADER, compare),
        "",
    ] + notes.lines()
    print("\n".join(text))
    with open(os.path.join(out, "results.txt"), "w", encoding="utf-8") as handle:
        handle.write("\n".join(text) + "\n")
    with open(os.path.join(out, "results.md"), "w", encoding="utf-8") as handle:
        handle.write(f"Measured {machine_line}.\n\n")
        handle.write(markdown_table(SPEED_HEADER, speed) + "\n\n")
        handle.write(markdown_table(COMPARE_HEADER, compare) + "\n\n")
        for line in notes.lines():
            handle.write(line.replace("|", "/") + "\n\n")
    if not args.no_chart:
        try:
            chart(rows, os.path.join(out, "results.png"), args)
        except ImportError as error:
            log(f"no chart: {error}")
    log(f"wrote {csv_path}, results.txt, results.md" + ("" if args.no_chart else ", results.png"))


LABELS = OrderedDict(
    [
        ("reference", "cvxpy+Clarabel (reference)"),
        ("vantelo-factor", "vantelo factor (after)"),
        ("vantelo-dense", "vantelo dense (before)"),
        ("pypfopt", "PyPortfolioOpt"),
        ("skfolio", "skfolio"),
    ]
)


def chart(rows, path, args):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    cases = [c for c in CASES if any(r["case"] == c for r in rows)]
    figure, axes = plt.subplots(2, len(cases), figsize=(4.2 * len(cases), 7.5), squeeze=False)
    markers = dict(zip(LABELS, "osD^v"))
    colors = dict(zip(LABELS, ["tab:blue", "tab:orange", "tab:green", "tab:red", "tab:purple"]))
    sizes = sorted({r["n"] for r in rows if "n" in r})
    for column, case in enumerate(cases):
        top, bottom = axes[0][column], axes[1][column]
        for solver, label in LABELS.items():
            mine = [r for r in rows if r["case"] == case and r["solver"] == solver and "n" in r]
            done = [(r["n"], r["total_s"]) for r in mine if "total_s" in r]
            late = [r["n"] for r in mine if r.get("status", "").startswith("timed out")]
            if done:
                x, y = zip(*done)
                top.plot(x, y, marker=markers[solver], color=colors[solver], label=label)
            if late:
                top.scatter(late, [args.timeout] * len(late), marker="x", color="black")
            gaps = [
                (r["n"], max(abs(r["rel_gap"]), 1e-12))
                for r in mine
                if "rel_gap" in r and solver != "reference"
            ]
            if gaps:
                x, y = zip(*gaps)
                bottom.plot(x, y, marker=markers[solver], color=colors[solver], label=label)
        top.set_title(f"({case}) {CASES[case]}", fontsize=8)
        top.set_xscale("log")
        top.set_yscale("log")
        top.set_xlabel("stocks")
        top.set_ylabel("median wall time, s (x = timed out)")
        bottom.set_xscale("log")
        bottom.set_yscale("log")
        bottom.set_xlabel("stocks")
        bottom.set_ylabel("|relative objective gap| to reference")
        for axis in (top, bottom):
            axis.set_xticks(sizes)
            axis.set_xticklabels([str(n) for n in sizes])
            axis.minorticks_off()
        top.grid(True, which="both", alpha=0.3)
        bottom.grid(True, which="both", alpha=0.3)
    axes[0][0].legend(fontsize=7)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


if __name__ == "__main__":
    sys.exit(main())
