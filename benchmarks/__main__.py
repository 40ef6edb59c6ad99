"""Run the benchmark suite: `python -m benchmarks [--quick] [--only TEXT]`.

Prints a table per primitive (median ns/op of interleaved rounds, spread, and
the ratio of each competitor to torvan measured in the same run), then writes
bench-results/results.json and PNG plots of throughput against thread count.
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import pkgutil
import sys
import time
from pathlib import Path

from benchmarks import harness, report

ROOT = Path(__file__).resolve().parent.parent


def load_suites() -> None:
    package = Path(__file__).resolve().parent
    for info in sorted(pkgutil.iter_modules([str(package)]), key=lambda m: m.name):
        if info.name.startswith("bench_"):
            importlib.import_module(f"benchmarks.{info.name}")


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="python -m benchmarks", description=__doc__)
    parser.add_argument("--quick", action="store_true", help="fewer rounds and operations (under a minute)")
    parser.add_argument("--only", action="append", default=[], help="run only cases whose 'group / case' contains this text")
    parser.add_argument("--rounds", type=int, help="rounds per measurement (default 7, quick 3)")
    parser.add_argument("--threads", type=lambda s: tuple(int(x) for x in s.split(",")),
                        help="thread counts, e.g. 1,2,4 (default: each case's own, more on bigger machines)")
    parser.add_argument("--out", type=Path, default=ROOT / "bench-results", help="results directory")
    parser.add_argument("--no-native", action="store_true", help="skip the native engine benchmark")
    parser.add_argument("--no-plots", action="store_true", help="do not draw plots")
    return parser.parse_args(argv)


def thread_counts(case: harness.Case, override) -> tuple[int, ...]:
    if override:
        return override
    counts = list(case.threads)
    cpus = os.cpu_count() or 2
    # On machines with more cores, extend the scaling series up to the core count.
    while counts and counts[-1] < cpus and counts[-1] >= 4:
        counts.append(min(cpus, counts[-1] * 2))
    return tuple(counts)


def main(argv=None) -> int:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    load_suites()
    rounds = args.rounds or (3 if args.quick else 7)
    cases = [c for c in harness.REGISTRY if not args.only or any(o in f"{c.group} / {c.name}" for o in args.only)]
    plan = [(c, t) for c in cases for t in thread_counts(c, args.threads)]
    progress = report.Progress(len(plan))
    started = time.monotonic()

    measurements: list[harness.Measurement] = []
    skipped: list[dict] = []
    for c in cases:
        for impl in c.build():
            if impl.skipped:
                skipped.append({"group": c.group, "case": c.name, "impl": impl.name, "reason": impl.skipped})
    harness.steadiness_sample()  # warm-up: the loop's first run is not the host's steady state
    steadiness: list[float] = []
    for c, threads in plan:
        ops = max(1, c.ops // 10) if args.quick else c.ops
        progress.step(f"{c.group} / {c.name} / {threads} thread{'s' if threads > 1 else ''}")
        steadiness.append(harness.steadiness_sample())
        measurements.extend(harness.measure_case(c, threads, rounds, ops, progress.detail))
    steadiness.append(harness.steadiness_sample())
    progress.done()

    native = None
    if not args.no_native:
        native = report.run_native_benchmark(ROOT, args.quick, args.out)

    machine = report.machine_description()
    machine["steadiness_ns_per_call"] = [round(x, 2) for x in steadiness]
    print(f"host: {report.host_line(machine)}")
    print(report.steadiness_line(steadiness))
    report.print_tables(cases, measurements, skipped)
    if native is not None:
        report.print_native(native)
    args.out.mkdir(parents=True, exist_ok=True)
    results = {
        "mode": "quick" if args.quick else "full",
        "rounds": rounds,
        "seconds": round(time.monotonic() - started, 1),
        "machine": machine,
        "versions": report.versions(),
        "results": [m.as_json() for m in measurements],
        "skipped": skipped,
        "native": native if native is not None else {"skipped": "disabled with --no-native"},
    }
    path = args.out / "results.json"
    path.write_text(json.dumps(results, indent=2))
    print(f"\nresults: {path}")
    if not args.no_plots:
        for plot in report.draw_plots(cases, measurements, args.out):
            print(f"plot: {plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
