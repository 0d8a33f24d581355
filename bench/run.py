"""Benchmark runner: native operations against pure-Python baselines.

Every ``bench/bench_*.py`` defines ``cases()``, which yields ``Case`` objects.
For each case the native and the baseline callable are timed in the same run,
alternating, and the best time of each is kept. The ratio is baseline time
divided by native time (higher is better for the native side).

    python bench/run.py            # every case
    python bench/run.py table      # cases whose name contains "table"
"""

from __future__ import annotations

import gc
import importlib.util
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
    for path in sorted(HERE.glob("bench_*.py")):
        spec = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        for case in module.cases():
            if pattern in case.name:
                yield case


def main(argv: list[str]) -> int:
    pattern = argv[1] if len(argv) > 1 else ""
    print(f"{'case':58} {'native':>11} {'baseline':>11} {'ratio':>8}  target")
    missed = 0
    for case in load_cases(pattern):
        native, baseline = measure(case)
        ratio = baseline / native
        verdict = ""
        if case.target is not None:
            verdict = f">= {case.target:g}x " + ("ok" if ratio >= case.target else "MISSED")
            missed += ratio < case.target
        print(f"{case.name:58} {_format(native)} {_format(baseline)} {ratio:7.2f}x  {verdict}", flush=True)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
