"""Benchmark runner: native operations against pure-Python baselines.

Every ``bench/bench_*.py`` defines ``cases()``, which yields ``Case`` objects.
For each case the native and the baseline callable are timed in the same run,
alternating, and the best time of each is kept. The ratio is baseline time
divided by native time (higher is better for the native side). A summary
per benchmark file follows, and the run fails when a case misses its target.

    python bench/run.py            # every case
    python bench/run.py table      # cases whose name contains "table"
"""

from __future__ import annotations

import gc
import importlib.util
import os
import pathlib
import sys
import time
from dataclasses import dataclass
from typing import Callable

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))  # bench/logger.py stands in for the application's logger


@dataclass
class Case:
    name: str
    native: Callable[[], object]
    baseline: Callable[[], object]
    target: float | None = None  # the ratio the case must reach, if any
    baseline_name: str = "pure Python"
    rounds: int = 5


def _time_once(func: Callable[[], object], number: int) -> float:
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter()
        for _ in range(number):
            func()
        return (time.perf_counter() - start) / number
    finally:
        if gc_was_enabled:
            gc.enable()


def _calibrate(func: Callable[[], object]) -> int:
    number = 1
    while True:
        elapsed = _time_once(func, number) * number
        if elapsed >= 0.05 or number >= 1 << 20:
            return number
        number *= 2 if elapsed > 0.01 else 10


def measure(case: Case) -> tuple[float, float]:
    native_number = _calibrate(case.native)
    baseline_number = _calibrate(case.baseline)
    native = baseline = float("inf")
    for _ in range(case.rounds):
        native = min(native, _time_once(case.native, native_number))
        baseline = min(baseline, _time_once(case.baseline, baseline_number))
    return native, baseline


def _format(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:8.2f} {unit:2}"
    return f"{seconds / 1e-9:8.2f} ns"


def load_cases(pattern: str = ""):
    """(group, case) for every case whose name contains `pattern`; the group
    is the benchmark file's name without its ``bench_`` prefix."""
    for path in sorted(HERE.glob("bench_*.py")):
        found = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
        for case in module.cases():
            if pattern in case.name:
                yield path.stem.removeprefix("bench_"), case


NAME_WIDTH = 62


def _row(name: str, native: str, baseline: str, ratio: str, verdict: str) -> str:
    # A name too long for its column gets a line of its own, so that the
    # figures below it stay aligned.
    lead = f"{name:{NAME_WIDTH}}" if len(name) <= NAME_WIDTH else f"{name}\n{'':{NAME_WIDTH}}"
    return f"{lead} {native:>11} {baseline:>11} {ratio:>8}  {verdict}".rstrip()


def _ratios(values: list[float]) -> str:
    low, high = min(values), max(values)
    return f"{low:.2f}x" if len(values) == 1 else f"{low:.2f}x - {high:.2f}x"


def main(argv: list[str]) -> int:
    pattern = argv[1] if len(argv) > 1 else ""
    print(f"Native vs. baseline, best of each case's rounds; ratio = baseline / native "
          f"(higher is better). {os.cpu_count()} CPUs.\n")
    print(_row("case", "native", "baseline", "ratio", "target"))
    groups: dict[str, list[float]] = {}
    targets: dict[str, list[bool]] = {}
    missed: list[str] = []
    for group, case in load_cases(pattern):
        native, baseline = measure(case)
        ratio = baseline / native
        groups.setdefault(group, []).append(ratio)
        verdict = ""
        if case.target is not None:
            met = ratio >= case.target
            targets.setdefault(group, []).append(met)
            verdict = f">= {case.target:.3g}x " + ("ok" if met else "MISSED")
            if not met:
                missed.append(case.name)
        print(_row(case.name, _format(native), _format(baseline), f"{ratio:7.2f}x", verdict), flush=True)

    print(f"\n{'module':14} {'cases':>5}  {'ratios':18}  targets met")
    for group, ratios in groups.items():
        met = targets.get(group, [])
        print(f"{group:14} {len(ratios):5}  {_ratios(ratios):18}  " + (f"{sum(met)} of {len(met)}" if met else "-"))
    for name in missed:
        print(f"MISSED: {name}")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
