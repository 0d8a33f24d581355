"""Benchmark runner: native operations against pure-Python baselines.

Every ``bench/bench_*.py`` defines ``cases()``, which yields ``Case`` objects.
For each case the native and the baseline callable are timed in the same run,
alternating, and the best time of each is kept (a round timed with the
garbage collector on starts from a collected heap). The ratio is baseline time
divided by native time (higher is better for the native side). A summary
per benchmark file follows, and the run fails when a case misses its target.
A full run also draws the ratios as a chart (needs matplotlib, from the
``bench`` extra; without it the chart is skipped).

    python bench/run.py                      # every case, chart in docs/bench.png
    python bench/run.py table                # cases whose name contains "table"
    python bench/run.py --chart out.png      # the chart elsewhere
"""

from __future__ import annotations

import argparse
import gc
import importlib.metadata
import importlib.util
import json
import os
import pathlib
import sys
import tempfile
import time
from dataclasses import dataclass
from typing import Callable

HERE = pathlib.Path(__file__).resolve().parent
CHART = HERE.parent / "docs" / "bench.png"
# The environment of the public-API-only build, whose operations some cases
# time against this build's (--public-build).
PUBLIC_BUILD: pathlib.Path | None = HERE.parent / ".venv-public"
sys.path.insert(0, str(HERE))  # bench/logger.py stands in for the application's logger


@dataclass
class Case:
    name: str
    native: Callable[[], object]
    baseline: Callable[[], object]
    target: float | None = None  # the ratio the case must reach, if any
    baseline_name: str = "pure Python"
    rounds: int = 5
    # Timed with the garbage collector on, as in an application; off otherwise,
    # which leaves collections triggered by the other side's garbage out.
    gc: bool = False
    # The use of the interpreter's private API that the case measures, if any.
    private_path: str | None = None
    # A target in time instead of a ratio: how many nanoseconds the native
    # side may take over the baseline (a wrapper over what it wraps).
    max_overhead_ns: float | None = None


@dataclass
class Result:
    """What is kept of a measured case: not its callables, whose data would
    stay in memory for the rest of the run."""

    group: str
    name: str
    target: float | None
    gc: bool
    private_path: str | None
    ratio: float


def _time_once(func: Callable[[], object], number: int, collect: bool = False) -> float:
    gc_was_enabled = gc.isenabled()
    if collect:
        # Each round with the collector on starts from the same state: what
        # earlier rounds (either side's) left is collected and the counts
        # start at zero, so that no round pays for another's garbage.
        gc.collect()
    _set_gc(collect)
    try:
        start = time.perf_counter()
        for _ in range(number):
            func()
        return (time.perf_counter() - start) / number
    finally:
        _set_gc(gc_was_enabled)


def _set_gc(enabled: bool) -> None:
    if enabled:
        gc.enable()
    else:
        gc.disable()


def _calibrate(func: Callable[[], object], collect: bool) -> int:
    number = 1
    while True:
        elapsed = _time_once(func, number, collect) * number
        if elapsed >= 0.05 or number >= 1 << 20:
            return number
        number *= 2 if elapsed > 0.01 else 10


def measure(case: Case) -> tuple[float, float]:
    native_number = _calibrate(case.native, case.gc)
    baseline_number = _calibrate(case.baseline, case.gc)
    native = baseline = float("inf")
    for _ in range(case.rounds):
        native = min(native, _time_once(case.native, native_number, case.gc))
        baseline = min(baseline, _time_once(case.baseline, baseline_number, case.gc))
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


def draw_chart(results: list[Result], path: pathlib.Path) -> None:
    """One bar per case, ratios on a log scale, each target marked; written
    to a temporary file beside `path` and renamed over it."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    met, missed, untargeted = "#2e7d32", "#c62828", "#9e9e9e"
    labels = [f"{result.group}: {result.name}" + (" (gc on)" if result.gc else "") for result in results]
    ratios = [result.ratio for result in results]
    colours = [untargeted if result.target is None else met if result.ratio >= result.target else missed
               for result in results]
    marked = [(row, result.target) for row, result in enumerate(results) if result.target is not None]
    rows = range(len(results))
    figure, axes = plt.subplots(figsize=(13, 1.5 + 0.28 * len(results)), layout="constrained")
    axes.barh(rows, ratios, color=colours, height=0.7)
    axes.axvline(1, color="#424242", linewidth=0.8, linestyle="--")
    axes.plot([target for _, target in marked], [row for row, _ in marked], linestyle="none", marker="|",
              markersize=13, markeredgewidth=3, color="#1565c0")
    for row, ratio in zip(rows, ratios):
        axes.annotate(f"{ratio:.2f}x", (ratio, row), xytext=(3, 0), textcoords="offset points", va="center",
                      fontsize=8)
    axes.set_xscale("log")
    low, high = min(ratios + [target for _, target in marked]) / 1.6, max(ratios) * 1.8
    ticks = [t for t in (0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50, 100, 200, 500) if low <= t <= high]
    axes.set_xlim(low, high)
    axes.set_xticks(ticks, [f"{t:g}x" for t in ticks])
    axes.minorticks_off()
    axes.grid(axis="x", alpha=0.3)
    axes.set_yticks(rows, labels, fontsize=8)
    axes.set_ylim(len(results) - 0.5, -0.5)
    axes.set_xlabel("ratio = baseline time / native time (log scale; right of 1x: the native side is faster)")
    axes.set_title("tools: native operations against their baselines, best of each case's rounds")
    axes.legend(handles=[Patch(color=met, label="target met"), Patch(color=missed, label="target missed"),
                         Patch(color=untargeted, label="no target (information)"),
                         plt.Line2D([], [], color="#1565c0", marker="|", linestyle="none", markersize=13,
                                    markeredgewidth=3, label="target")],
                loc="lower right", fontsize=8)
    path.parent.mkdir(parents=True, exist_ok=True)
    handle, partial = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.")
    os.close(handle)
    try:
        figure.savefig(partial, format=path.suffix.removeprefix(".") or "png", dpi=110)
        os.chmod(partial, 0o644)
        os.replace(partial, path)
    except BaseException:
        os.unlink(partial)
        raise
    finally:
        plt.close(figure)


def measured_build() -> str:
    """Which build of the package the run measures: a wheel (by its file name) or a build in place."""
    distribution = importlib.metadata.distribution("choretools")
    where = pathlib.Path(distribution.locate_file("tools"))
    origin = json.loads(distribution.read_text("direct_url.json") or "{}")
    url = origin.get("url", "")
    if url.endswith(".whl"):
        return f"choretools {distribution.version}, the wheel {url.rsplit('/', 1)[-1]}, in {where}"
    return f"choretools {distribution.version}, built from {url or 'an unknown source'}, in {where}"


def main(argv: list[str]) -> int:
    global PUBLIC_BUILD
    parser = argparse.ArgumentParser(description="Native operations against their baselines.")
    parser.add_argument("pattern", nargs="?", default="", help="only cases whose name contains it")
    parser.add_argument("--chart", type=pathlib.Path,
                        help=f"where to draw the chart (default for a full run: {CHART.relative_to(HERE.parent)})")
    parser.add_argument("--public-build", type=pathlib.Path, default=PUBLIC_BUILD,
                        help="the environment of the public-API-only build (default: .venv-public)")
    args = parser.parse_args(argv[1:])
    # The benchmark files import this module as `run`: one module, one setting.
    sys.modules.setdefault("run", sys.modules[__name__])
    PUBLIC_BUILD = args.public_build
    chart = args.chart or (None if args.pattern else CHART)
    print(f"Native vs. baseline, best of each case's rounds; ratio = baseline / native "
          f"(higher is better). {os.cpu_count()} CPUs.\n"
          "Cases marked 'gc on' are timed with the garbage collector on, as in an "
          "application; the others with it off.\n"
          f"Measured: {measured_build()}, on Python {sys.version.split()[0]}.\n")
    print(_row("case", "native", "baseline", "ratio", "target"))
    groups: dict[str, list[float]] = {}
    targets: dict[str, list[bool]] = {}
    missed: list[str] = []
    results: list[Result] = []
    for group, case in load_cases(args.pattern):
        native, baseline = measure(case)
        ratio = baseline / native
        groups.setdefault(group, []).append(ratio)
        results.append(Result(group, case.name, case.target, case.gc, case.private_path, ratio))
        verdict = ""
        if case.target is not None or case.max_overhead_ns is not None:
            if case.target is not None:
                met = ratio >= case.target
                verdict = f">= {case.target:.3g}x " + ("ok" if met else "MISSED")
            else:
                overhead = (native - baseline) * 1e9
                met = overhead <= case.max_overhead_ns
                verdict = f"{overhead:+.0f} ns <= {case.max_overhead_ns:.0f} ns " + ("ok" if met else "MISSED")
            targets.setdefault(group, []).append(met)
            if not met:
                missed.append(case.name)
        verdict = f"{verdict:16}  {'gc on' if case.gc else ''}".rstrip()
        print(_row(case.name, _format(native), _format(baseline), f"{ratio:7.2f}x", verdict), flush=True)

    print(f"\n{'module':14} {'cases':>5}  {'ratios':18}  targets met")
    for group, ratios in groups.items():
        met = targets.get(group, [])
        print(f"{group:14} {len(ratios):5}  {_ratios(ratios):18}  " + (f"{sum(met)} of {len(met)}" if met else "-"))
    gains: dict[str, list[float]] = {}
    for result in results:
        if result.private_path:
            gains.setdefault(result.private_path, []).append(result.ratio - 1)
    if gains:
        print("\nprivate API use (src/core/cpython_internals.hpp)   gain over the public-API build, on its case(s)")
        for path, values in gains.items():
            print(f"{path:52} " + ", ".join(f"{gain:+.0%}" for gain in values))
    for name in missed:
        print(f"MISSED: {name}")
    if chart and results:
        if importlib.util.find_spec("matplotlib") is None:
            print("chart skipped: matplotlib is not installed (the bench extra: pip install '.[bench]')")
        else:
            draw_chart(results, chart)
            print(f"chart: {chart}")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
