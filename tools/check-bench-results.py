"""Checks that a benchmark results file is complete and well formed (the
numbers themselves are not judged: the machines are shared and noisy).
Usage: python tools/check-bench-results.py bench-results/results.json"""

import json
import math
import sys


def fail(message: str) -> None:
    print(f"[bench-check] error: {message}", file=sys.stderr)
    sys.exit(1)


def main(path: str) -> None:
    try:
        with open(path) as f:
            data = json.load(f)
    except (OSError, ValueError) as exc:
        fail(f"cannot read {path}: {exc}")
    for key in ("mode", "machine", "versions", "results", "skipped", "native"):
        if key not in data:
            fail(f"missing key {key!r}")
    if not data["machine"].get("free_threaded"):
        fail("the benchmarks did not run on a free-threaded interpreter")
    steadiness = data["machine"].get("steadiness_ns_per_call")
    if not steadiness or not all(isinstance(x, (int, float)) and math.isfinite(x) and x > 0 for x in steadiness):
        fail("no host steadiness samples")
    results = data["results"]
    if not results:
        fail("no measurements")
    groups = {r["group"] for r in results}
    for group in ("AtomicInteger", "ConcurrentMap", "RwLock", "Channel", "ThreadPool"):
        if not any(g.startswith(group) for g in groups):
            fail(f"no measurements for {group}")
    for r in results:
        for key in ("group", "case", "impl", "kind", "threads", "median", "min", "max", "rounds"):
            if key not in r:
                fail(f"measurement without {key!r}: {r}")
        if not all(isinstance(x, (int, float)) and math.isfinite(x) and x > 0 for x in r["rounds"]):
            fail(f"invalid round values in {r['group']} / {r['case']} / {r['impl']}")
        if not r["min"] <= r["median"] <= r["max"]:
            fail(f"median outside its spread in {r['group']} / {r['case']} / {r['impl']}")
    torvan_cases = {(r["group"], r["case"]) for r in results if r["kind"] == "torvan"}
    if torvan_cases != {(r["group"], r["case"]) for r in results}:
        fail("some case has no torvan measurement")
    native = data["native"]
    if "records" not in native:
        fail(f"native engine benchmark missing: {native.get('skipped')}")
    print(f"[bench-check] {path}: {len(results)} measurements in {len(groups)} groups, "
          f"{len(native['records'])} native records, {len(data['skipped'])} skipped implementations")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "bench-results/results.json")
