"""Per-call timings of every native function on fixed inputs.

Each ``bench/cases_<module>.py`` lists ``CASES``: a statement calling ``f``
and, where the function's work is its own, a Python ``def`` doing the same
work (its "twin"), timed with the same statement in the same run.  The table
gives ns per call and the twin's time over the native one.  Then the import
time of each module, measured in fresh interpreters.

    python bench/run.py [--quick] [module ...]
"""

import argparse
import importlib
import os
import pathlib
import statistics
import subprocess
import sys
import timeit
from dataclasses import dataclass, field

HERE = pathlib.Path(__file__).resolve().parent
MODULES = ["tilwick", "brenmoor", "quastel", "ferrowen", "hallorn"]


@dataclass
class Case:
    name: str  # the function (and a short tag for the input)
    stmt: str  # calls ``f``
    native: object
    twin: object = None  # a Python def doing the same work, or None
    env: dict = field(default_factory=dict)  # more globals for the statement
    setup: object = None  # called once before timing
    teardown: object = None


def ns_per_call(stmt, fn, env, quick):
    g = dict(env, f=fn)
    timer = timeit.Timer(stmt, globals=g)
    number, _ = timer.autorange()
    if quick:
        number = max(1, number // 4)
    runs = timer.repeat(repeat=3 if quick else 7, number=number)
    return min(runs) / number * 1e9


def import_time(module, quick):
    """Median wall time of importing one module in a fresh interpreter (µs)."""
    code = (
        "import time, importlib\n"
        "import zelkor_installer.constants, packaging.version, packaging.requirements, "
        "packaging.utils, packaging.tags, importlib.metadata, subprocess, pathlib, platform, "
        "sysconfig, logging, platformdirs, pip, urllib.parse\n"
        f"t = time.perf_counter(); importlib.import_module('zelkor_installer.utils.{module}')\n"
        "print((time.perf_counter() - t) * 1e6)\n"
    )
    samples = []
    for _ in range(3 if quick else 7):
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        if out.returncode != 0:
            return None
        samples.append(float(out.stdout))
    return statistics.median(samples)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("modules", nargs="*", default=MODULES)
    args = ap.parse_args()
    sys.path.insert(0, str(HERE))
    rows = []
    for module in args.modules:
        try:
            cases = importlib.import_module(f"cases_{module}").CASES
        except ModuleNotFoundError:
            continue
        for case in cases:
            if case.setup:
                case.setup()
            try:
                native = ns_per_call(case.stmt, case.native, case.env, args.quick)
                twin = (
                    ns_per_call(case.stmt, case.twin, case.env, args.quick)
                    if case.twin
                    else None
                )
            finally:
                if case.teardown:
                    case.teardown()
            rows.append((module, case.name, native, twin))
    w = max([len(f"{m}.{n}") for m, n, _, _ in rows] + [20])
    print(f"{'function':<{w}}  {'native ns':>11}  {'python def ns':>13}  {'def/native':>10}")
    for module, name, native, twin in rows:
        t = f"{twin:13.0f}" if twin is not None else f"{'-':>13}"
        r = f"{twin / native:10.2f}" if twin is not None else f"{'-':>10}"
        print(f"{module + '.' + name:<{w}}  {native:11.0f}  {t}  {r}")
    print()
    print(f"{'module':<{w}}  {'import µs':>11}")
    for module in args.modules:
        t = import_time(module, args.quick)
        print(f"{module:<{w}}  {t:11.0f}" if t is not None else f"{module:<{w}}  {'failed':>11}")
    return 0


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    sys.exit(main())
