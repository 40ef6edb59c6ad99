"""Progress display, tables, machine description, native results and plots."""

from __future__ import annotations

import json
import os
import platform
import subprocess
import sys
import sysconfig
from collections import defaultdict
from importlib import metadata
from pathlib import Path

from benchmarks import harness


class Progress:
    """One line per measurement on standard error; on a terminal the line is
    rewritten in place with the round being measured."""

    def __init__(self, total: int):
        self.total = total
        self.index = 0
        self.tty = sys.stderr.isatty()
        self.current = ""

    def step(self, text: str) -> None:
        self.index += 1
        self.current = f"[{self.index}/{self.total}] {text}"
        if self.tty:
            sys.stderr.write("\r\033[K" + self.current)
        else:
            sys.stderr.write(self.current + "\n")
        sys.stderr.flush()

    def detail(self, text: str) -> None:
        if self.tty:
            sys.stderr.write("\r\033[K" + f"[{self.index}/{self.total}] {text}")
            sys.stderr.flush()

    def done(self) -> None:
        if self.tty:
            sys.stderr.write("\r\033[K")
        sys.stderr.write(f"measured {self.total} case/thread combinations\n")
        sys.stderr.flush()


def _fmt_ns(ns: float) -> str:
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.1f} ns"


def _fmt_unit(value: float, unit: str) -> str:
    if unit.endswith("/s"):
        if value >= 1e6:
            return f"{value / 1e6:.2f} M {unit}"
        if value >= 1e3:
            return f"{value / 1e3:.1f} k {unit}"
        return f"{value:.0f} {unit}"
    if unit == "ns/op":
        return _fmt_ns(value)
    return f"{value:.4g} {unit}"


def print_tables(cases, measurements: list[harness.Measurement], skipped: list[dict]) -> None:
    by_case = defaultdict(list)
    for m in measurements:
        by_case[(m.group, m.case)].append(m)
    print("\nns/op = wall time / total operations of all threads (median of rounds, min-max in brackets).")
    print("ratio = competitor ns/op / torvan ns/op: above 1.00x torvan is faster.\n")
    current_group = None
    for c in cases:
        rows = by_case.get((c.group, c.name))
        if not rows:
            continue
        if c.group != current_group:
            current_group = c.group
            print(f"=== {c.group} ===")
        impls = list(dict.fromkeys(m.impl for m in rows))
        header = ["threads"] + impls
        table = [header]
        for threads in sorted({m.threads for m in rows}):
            here = {m.impl: m for m in rows if m.threads == threads}
            base = next((m for m in here.values() if m.kind == "torvan"), None)
            line = [str(threads)]
            for name in impls:
                m = here.get(name)
                if m is None:
                    line.append("-")
                    continue
                cell = f"{_fmt_ns(m.ns_per_op)} ({_fmt_ns(min(m.rounds_ns_per_op))}-{_fmt_ns(max(m.rounds_ns_per_op))})"
                if base is not None and m is not base:
                    cell += f" {m.ns_per_op / base.ns_per_op:.2f}x"
                line.append(cell)
            table.append(line)
        widths = [max(len(row[i]) for row in table) for i in range(len(header))]
        print(f"--- {c.name}" + (f"  ({c.note})" if c.note else ""))
        for row in table:
            print("  " + " | ".join(cell.ljust(w) for cell, w in zip(row, widths)))
        print()
    if skipped:
        print("Skipped implementations:")
        for s in sorted({(s["impl"], s["reason"]) for s in skipped}):
            print(f"  {s[0]}: {s[1]}")


def cpuinfo_fields() -> dict:
    """The first processor's fields of /proc/cpuinfo (empty where there is none)."""
    fields: dict = {}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if not line.strip():
                    break
                key, _, value = line.partition(":")
                fields[key.strip()] = value.strip()
    except OSError:
        pass
    return fields


def machine_description() -> dict:
    """The host a run measured: what a figure may be quoted for. Hosts of one
    machine kind differ (processor vendor and generation), and so do spin
    and wake costs."""
    cpu = cpuinfo_fields()
    flags = cpu.get("flags", "").split()
    info = {
        "platform": platform.platform(),
        "machine": platform.machine(),
        "kernel": platform.release(),
        "cpus": os.cpu_count(),
        "cpu_vendor": cpu.get("vendor_id"),
        "cpu_model": cpu.get("model name"),
        "cpu_family": cpu.get("cpu family"),
        "cpu_model_number": cpu.get("model"),
        "virtualised": "hypervisor" in flags,
        "python": sys.version,
        "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
        "gil_enabled": sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True,
    }
    try:
        with open("/proc/meminfo") as f:
            info["memory_kib"] = int(f.readline().split()[1])
    except OSError:
        pass
    return info


def host_line(machine: dict) -> str:
    """One line naming the host, e.g. "Intel(R) Xeon(R) Processor (GenuineIntel
    family 6 model 167), 2 CPUs, virtualised, Linux 6.18"."""
    cpu = machine.get("cpu_model") or machine.get("machine") or "unknown processor"
    ids = [machine.get("cpu_vendor")]
    if machine.get("cpu_family") is not None:
        ids.append(f"family {machine['cpu_family']} model {machine.get('cpu_model_number')}")
    detail = " ".join(i for i in ids if i)
    parts = [f"{cpu} ({detail})" if detail else cpu, f"{machine.get('cpus')} CPUs"]
    if machine.get("virtualised"):
        parts.append("virtualised")
    parts.append(f"{platform.system()} {machine.get('kernel')}")
    return ", ".join(parts)


def steadiness_line(samples: list[float]) -> str:
    """How steady the host was: the spread of a plain call loop sampled before
    every case. A case's rounds cannot spread less than the host does."""
    low, high = min(samples), max(samples)
    return (f"host steadiness: a plain call loop took {low:.1f}-{high:.1f} ns per call over the run "
            f"({high / low:.2f}x, {len(samples)} samples): "
            "rounds that spread no more than this may owe it to the host alone")


def versions() -> dict:
    out = {}
    for dist in ("torvan", "numpy", "ft-utils", "cereggii", "matplotlib"):
        try:
            out[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            out[dist] = None
    return out


NATIVE_BINARY = Path("build/bench-native/benchmarks/native/torvan_native_bench")


def run_native_benchmark(root: Path, quick: bool, out: Path) -> dict:
    binary = root / NATIVE_BINARY
    if not binary.exists():
        reason = f"native benchmark binary not built ({NATIVE_BINARY}); `make bench` builds it"
        print(f"native engine benchmark skipped: {reason}", file=sys.stderr)
        return {"skipped": reason}
    out.mkdir(parents=True, exist_ok=True)
    target = out / "native.json"
    command = [str(binary), "--json", str(target)] + (["--quick"] if quick else [])
    print("running the native engine benchmark: " + " ".join(command), file=sys.stderr)
    done = subprocess.run(command, capture_output=True, text=True, timeout=900)
    if done.returncode != 0:
        reason = f"native benchmark failed with exit code {done.returncode}: {done.stderr.strip()[-500:]}"
        print(reason, file=sys.stderr)
        return {"skipped": reason}
    return {"records": json.loads(target.read_text())}


def print_native(native: dict) -> None:
    records = native.get("records")
    if not records:
        print(f"\nnative engine benchmark: {native.get('skipped')}")
        return
    print("\n=== channel engine (native, C++ threads) ===")
    print("ratio = torvan engine / std::mutex+std::deque+std::condition_variable queue (throughput),")
    print("or baseline / engine (time per operation): above 1.00x the engine is faster.")
    by_key = defaultdict(dict)
    units = {}
    for r in records:
        key = (r["group"], r["case"])
        by_key[key][r["impl"]] = r
        units[key] = r["unit"]
    for key, impls in by_key.items():
        unit = units[key]
        parts = []
        for name, r in impls.items():
            parts.append(f"{name} {_fmt_unit(r['median'], unit)} ({_fmt_unit(r['min'], unit)}-{_fmt_unit(r['max'], unit)})")
        ratio = ""
        engine = impls.get("torvan")
        baseline = next((r for n, r in impls.items() if n != "torvan"), None)
        if engine and baseline and engine["median"] and baseline["median"]:
            if unit.endswith("/s"):
                ratio = f"  {engine['median'] / baseline['median']:.2f}x"
            else:
                ratio = f"  {baseline['median'] / engine['median']:.2f}x"
        print(f"  {key[0]} / {key[1]}: " + " | ".join(parts) + ratio)


def draw_plots(cases, measurements: list[harness.Measurement], out: Path) -> list[Path]:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as exc:
        print(f"plots skipped: matplotlib is not available ({exc})", file=sys.stderr)
        return []
    groups = defaultdict(lambda: defaultdict(list))
    for m in measurements:
        groups[m.group][m.case].append(m)
    written = []
    for group, per_case in groups.items():
        names = [c.name for c in cases if c.group == group and c.name in per_case]
        columns = min(3, len(names))
        rows = (len(names) + columns - 1) // columns
        fig, axes = plt.subplots(rows, columns, figsize=(5 * columns, 3.6 * rows), squeeze=False)
        for ax in axes.flat[len(names):]:
            ax.set_visible(False)
        for ax, name in zip(axes.flat, names):
            series = defaultdict(list)
            for m in per_case[name]:
                series[(m.impl, m.kind)].append((m.threads, m.ops_per_sec / 1e6))
            for (impl, kind), points in series.items():
                points.sort()
                style = "-o" if kind == "torvan" else "--s" if kind == "stdlib" else ":^"
                ax.plot([p[0] for p in points], [p[1] for p in points], style, label=impl,
                        linewidth=2.2 if kind == "torvan" else 1.2)
            ax.set_title(name, fontsize=10)
            ax.set_xlabel("threads")
            ax.set_ylabel("Mops/s")
            ax.set_xticks(sorted({m.threads for m in per_case[name]}))
            ax.grid(alpha=0.3)
            ax.legend(fontsize=7)
        fig.suptitle(f"{group}: throughput against thread count (higher is better)")
        fig.tight_layout()
        path = out / f"{group.replace(' ', '_')}.png"
        fig.savefig(path, dpi=110)
        plt.close(fig)
        written.append(path)
    return written
