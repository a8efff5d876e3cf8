"""Every native function beside its peers: the plain-Python twin of the same
steps (bench/twins) and that twin compiled with Cython.

Each ``bench/cases_<module>.py`` lists ``CASES``: a call of ``f`` on fixed
inputs, made with ``f`` bound to the native function, to its Python twin and
to the compiled twin.  Before a row is timed, the three peers are run once and
must agree (result, exception type and message, output, the state they leave).
The three are then timed interleaved in one process, round after round, and
the minimum per call is kept.  Then the import time of each module in fresh
interpreters (the Python twin from cached bytecode), and the stripped sizes.
A shared machine shows in the numbers: the table says the load it ran under.

    python bench/run.py [--quick] [-k TEXT] [module ...]
    python bench/run.py --instructions [-k TEXT] [module ...]

--instructions counts instructions per call under callgrind instead of
timing: slower (seconds a row), but the same count on a busy machine as on a
quiet one, for the same build and inputs.

The compiled twins are looked for in build/bench-cython/lib (`./run.sh bench`
builds them); without them the Cython column stays empty.
"""

import argparse
import compileall
import contextlib
import importlib
import io
import math
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
import timeit
from dataclasses import dataclass, field

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
CYTHON_LIB = ROOT / "build" / "bench-cython" / "lib"
MODULES = ["tilwick", "brenmoor", "quastel", "ferrowen", "hallorn"]
PEERS = ["native", "python", "cython"]
PACKAGES = {"native": "zelkor_installer.utils", "python": "twins", "cython": "cytwins"}
NOISE = 1.05  # a ratio above this is a loss, not noise


@dataclass
class Case:
    name: str  # the row: the function, then a short tag for the input
    call: str  # an expression calling ``f``
    env: dict = field(default_factory=dict)  # more globals for the call
    setup: object = None  # setup(module), for each peer's module before the row
    teardown: object = None  # teardown(module)
    quiet: bool = False  # standard output goes to a sink
    catch: str = None  # the exception the call ends in, caught by the timed statement
    binding: bool = False  # a binding error: the interpreter words its own differently
    observe: object = None  # observe(module): the state the call left behind
    context: object = None  # a context manager made for the row (process-wide stand-ins)

    @property
    def function(self):
        return re.match(r"\w+", self.name).group()

    def statement(self):
        if self.catch is None:
            return self.call
        return f"try:\n    {self.call}\nexcept {self.catch}:\n    pass"


def patch(**values):
    """A setup and teardown binding these names on each peer's module for the row."""
    saved = {}

    def setup(module):
        saved[module] = {name: getattr(module, name) for name in values}
        for name, value in values.items():
            setattr(module, name, value)

    def teardown(module):
        for name, value in saved.pop(module).items():
            setattr(module, name, value)

    return {"setup": setup, "teardown": teardown}


@contextlib.contextmanager
def prepared(case, modules, sink):
    """The row's stand-ins in place on these peers' modules, its output to ``sink``."""
    with contextlib.ExitStack() as stack:
        for module in modules:
            if case.setup:
                case.setup(module)
            if case.teardown:
                stack.callback(case.teardown, module)
        if case.context:
            stack.enter_context(case.context())
        if case.quiet:
            stack.enter_context(contextlib.redirect_stdout(sink))
        yield


def load_peers(module):
    peers = {}
    for peer in PEERS:
        try:
            peers[peer] = importlib.import_module(f"{PACKAGES[peer]}.{module}")
        except ModuleNotFoundError:
            if peer != "cython":
                raise
    return peers


# ------------------------------------------------------------- agreement


def outcome(case, module):
    """What one call does: its result or exception, its output, what it left."""
    sink = io.StringIO()
    with prepared(case, [module], sink):
        try:
            f = getattr(module, case.function)
            result = ("returned", eval(case.call, dict(case.env, f=f)))
        except BaseException as e:  # SystemExit and KeyboardInterrupt are outcomes here too
            result = ("raised", type(e).__name__, str(e))
        left = case.observe(module) if case.observe else None
    return result, sink.getvalue(), left


def disagreement(case, peer, native, other):
    """Why a peer's outcome differs from the native one, or None."""
    if case.binding and peer == "python" and native[0][0] == other[0][0] == "raised":
        # the interpreter words binding errors its own way: the type must match
        native, other = (native[0][:2],) + native[1:], (other[0][:2],) + other[1:]
    if native == other:
        return None
    return f"{case.name}: {peer} gives {other!r}, native {native!r}"


def without_row(module, cases):
    """The module's own functions that no case calls."""
    own = {name for name, v in vars(module).items()
           if callable(v) and not isinstance(v, type) and v.__module__ == module.__name__}
    return sorted(own - {c.function for c in cases})


# ---------------------------------------------------------------- timing


def calibrate(timer, target):
    """Calls per run for a run of about ``target`` seconds."""
    number = 1
    while True:
        t = timer.timeit(number)
        if t >= target / 4:
            return max(1, round(number * target / t))
        number *= 4


def interleaved(case, modules, quick):
    """Minimum ns per call of each peer, the peers timed in alternating rounds."""
    # many short rounds: on a shared machine the minimum needs quiet moments to land in
    target, rounds = (0.002, 8) if quick else (0.005, 40)
    timers = [
        timeit.Timer(case.statement(), globals=dict(case.env, f=getattr(m, case.function)))
        for m in modules
    ]
    # a real text stream, as standard output is, writing to nowhere
    with open(os.devnull, "w") as sink, prepared(case, modules, sink):
        numbers = [calibrate(t, target) for t in timers]
        best = [math.inf] * len(timers)
        for r in range(rounds):
            for k in range(len(timers)):
                i = (k + r) % len(timers)  # no peer always first
                best[i] = min(best[i], timers[i].timeit(numbers[i]) / numbers[i])
    return [b * 1e9 for b in best]


# ------------------------------------------------------ imports and sizes

PRELOAD = (
    "zelkor_installer.constants, zelkor_installer.utils, packaging.version, "
    "packaging.requirements, packaging.utils, packaging.tags, importlib.metadata, subprocess, "
    "pathlib, platform, sysconfig, logging, platformdirs, pip, urllib.parse, re, typing"
)
# a module's sibling that it imports, loaded beforehand so each row is its own
SIBLINGS = {"tilwick": ["brenmoor"], "quastel": ["brenmoor", "tilwick"]}


def import_code(package, module):
    siblings = "".join(f"import {package}.{s}\n" for s in SIBLINGS.get(module, []))
    return (
        f"import time, importlib\nimport {PRELOAD}\nimport {package}\n{siblings}"
        f"t = time.perf_counter(); importlib.import_module('{package}.{module}')\n"
        "print((time.perf_counter() - t) * 1e9)\n"
    )


def import_times(module, peers, quick):
    """Least ns of importing the module in fresh interpreters, per peer."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(HERE), str(CYTHON_LIB)]))
    samples = {p: [] for p in peers}
    for _ in range(3 if quick else 9):
        for peer in peers:
            code = import_code(PACKAGES[peer], module)
            out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                 env=env)
            if out.returncode != 0:
                raise RuntimeError(f"importing the {peer} {module} failed:\n{out.stderr}")
            samples[peer].append(float(out.stdout))
    return [min(samples[p]) for p in peers]


def stripped_size(path):
    strip = shutil.which("strip")
    if strip is None:
        return os.path.getsize(path)
    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, "stripped.so")
        subprocess.run([strip, "-o", out, path], check=True)
        return os.path.getsize(out)


# ----------------------------------------------------------------- table


def ratio(a, b):
    return a / b if a is not None and b else None


def fmt(x, width, form):
    return f"{'-':>{width}}" if x is None else f"{x:{width}{form}}"


# ---------------------------------------------------------- instructions

MARK = "time_sleep"  # callgrind dumps its counts when the interpreter enters it


def count_row(module, row, peer, number):
    """Runs in a child under callgrind: the row's call `number` times between two marks."""
    sys.path[:0] = [str(HERE), str(CYTHON_LIB)]
    case = next(c for c in importlib.import_module(f"cases_{module}").CASES if c.name == row)
    m = load_peers(module)[peer]
    code = compile(f"for _ in range({number}):\n" + textwrap.indent(case.statement(), "    "),
                   row, "exec")
    g = dict(case.env, f=getattr(m, case.function))
    with open(os.devnull, "w") as sink, prepared(case, [m], sink):
        exec(compile(case.statement(), row, "exec"), g)  # warm: caches and specialisation
        time.sleep(0)
        exec(code, g)
        time.sleep(0)


def instructions(case, module, names):
    """Instructions per call of each peer, counted by callgrind."""
    # about 20 ms of calls natively: callgrind runs them some fifty times slower
    timer = timeit.Timer(case.statement(),
                         globals=dict(case.env, f=getattr(load_peers(module)["native"],
                                                          case.function)))
    with open(os.devnull, "w") as sink, prepared(case, [load_peers(module)["native"]], sink):
        number = max(5, min(400, round(calibrate(timer, 0.02))))
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        raise SystemExit("--instructions needs valgrind")
    counts = []
    for peer in names:
        with tempfile.TemporaryDirectory() as d:
            out = os.path.join(d, "cg")
            subprocess.run([valgrind, "--tool=callgrind", f"--callgrind-out-file={out}",
                            f"--dump-before={MARK}", sys.executable, __file__, "--count-row",
                            module, case.name, peer, str(number)],
                           capture_output=True, check=True)
            # dumps at each mark: up to the first (cg.1), the loop (cg.2); the rest at the end
            loop = pathlib.Path(out + ".2").read_text().splitlines()
            total = next(int(line.split()[1]) for line in loop if line.startswith("summary:"))
            counts.append(total / number)
    return counts


def call_rows(modules, wanted, quick, problems, count=False):
    """(row, [native, python, cython] ns, ends in an exception) for every case."""
    rows = []
    for module in modules:
        peers = load_peers(module)
        names = [p for p in PEERS if p in peers]
        cases = importlib.import_module(f"cases_{module}").CASES
        problems += [f"{module}.{name}: no row" for name in without_row(peers["native"], cases)]
        for case in cases:
            row = f"{module}.{case.name}"
            if wanted not in row.lower():
                continue
            native = outcome(case, peers["native"])
            for peer in names[1:]:
                why = disagreement(case, peer, native, outcome(case, peers[peer]))
                if why:
                    problems.append(why)
            if count:
                times = instructions(case, module, names)
            else:
                times = interleaved(case, [peers[p] for p in names], quick)
            rows.append((row, times + [None] * (len(PEERS) - len(times)), case.catch is not None))
            print(".", end="", file=sys.stderr, flush=True)
    return rows


def import_rows(modules, wanted, quick):
    rows = []
    for module in modules:
        if wanted in f"{module} import":
            times = import_times(module, list(load_peers(module)), quick)
            rows.append((f"{module} import", times + [None] * (len(PEERS) - len(times)), False))
            print(".", end="", file=sys.stderr, flush=True)
    return rows


def size_rows(modules, wanted):
    """(row, [native, cython] bytes stripped); a total row ends them."""
    rows = []
    for module in modules:
        if wanted in f"{module} size":
            peers = load_peers(module)
            sizes = [stripped_size(peers[p].__file__) if p in peers else None
                     for p in ("native", "cython")]
            rows.append((f"{module} size", sizes))
    if rows:
        rows.append(("total size", [sum(s[i] or 0 for _, s in rows) or None for i in (0, 1)]))
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="fewer and shorter rounds")
    ap.add_argument("-k", dest="match", default="",
                    help="only the rows whose name holds TEXT (e.g. import, size, keypress)")
    ap.add_argument("--instructions", action="store_true",
                    help="instructions per call under callgrind, not time")
    ap.add_argument("--count-row", nargs=4, help=argparse.SUPPRESS)
    ap.add_argument("modules", nargs="*", default=MODULES, help=" ".join(MODULES))
    args = ap.parse_args()
    if args.count_row:
        module, row, peer, number = args.count_row
        return count_row(module, row, peer, int(number))
    for m in args.modules:
        if m not in MODULES:
            ap.error(f"no module {m!r} (one of {', '.join(MODULES)})")
    sys.path[:0] = [str(HERE), str(CYTHON_LIB)]
    compileall.compile_dir(HERE / "twins", quiet=1)  # the twins' imports read cached bytecode
    wanted = args.match.lower()

    problems = []
    calls = call_rows(args.modules, wanted, args.quick, problems, args.instructions)
    imports = [] if args.instructions else import_rows(args.modules, wanted, args.quick)
    sizes = [] if args.instructions else size_rows(args.modules, wanted)
    print(file=sys.stderr)

    w = max([len(r[0]) for r in calls + imports + sizes] + [30])
    unit = "instr" if args.instructions else "ns"
    head = (f"{'row':<{w}}  {'native ' + unit:>10}  {'python ' + unit:>10}  {'cython ' + unit:>10}"
            f"  {'nat/py':>6}  {'nat/cy':>6}")
    print("ratio = native / peer: below 1.00 the native function is faster, above "
          "1.00 slower")
    print(f"load average at the end: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
    calls_title = ("calls: instructions per call, counted by callgrind" if args.instructions
                   else "calls: the minimum of many interleaved rounds")
    for rows, title in [(calls, calls_title),
                        (imports, "import in a fresh interpreter with its dependencies loaded, "
                                  "the Python twin from cached bytecode: the minimum")]:
        if rows:
            print(f"\n{title}\n{head}")
        for name, (n, p, c), _ in rows:
            print(f"{name:<{w}}  {fmt(n, 10, '.0f')}  {fmt(p, 10, '.0f')}  {fmt(c, 10, '.0f')}"
                  f"  {fmt(ratio(n, p), 6, '.2f')}  {fmt(ratio(n, c), 6, '.2f')}")
    if sizes:
        print(f"\nshared objects, stripped: the native module against the compiled twin\n"
              f"{'row':<{w}}  {'native B':>10}  {'cython B':>10}  {'nat/cy':>6}")
        for name, (n, c) in sizes:
            print(f"{name:<{w}}  {n:10d}  {fmt(c, 10, 'd')}  {fmt(ratio(n, c), 6, '.2f')}")
    summarise(calls, imports, sizes)
    for p in problems:
        print(f"PROBLEM {p}")
    return 1 if problems else 0


def summarise(calls, imports, sizes):
    def geomean(i):
        rs = [ratio(t[0], t[i]) for _, t, _ in calls if t[i]]
        return math.exp(sum(map(math.log, rs)) / len(rs)) if rs else None

    def best(t):
        return ratio(t[0], min(x for x in t[1:] if x is not None))

    print()
    if calls:
        print(f"geometric mean over {len(calls)} call rows: native/Python "
              f"{fmt(geomean(1), 0, '.2f')}, native/Cython {fmt(geomean(2), 0, '.2f')}")
        above = [sum(1 for _, t, _ in calls if f(t) is not None and f(t) > NOISE)
                 for f in (lambda t: ratio(t[0], t[1]), lambda t: ratio(t[0], t[2]), best)]
        print(f"rows above {NOISE:.2f}: {above[0]} against Python, {above[1]} against Cython, "
              f"{above[2]} against the better peer")
    misses = []
    for name, t, fails in calls:
        why = [f"{best(t):.2f} of the better peer"] if best(t) > 1.0 else []
        if fails and ratio(t[0], t[1]) > 1.0:
            why.append(f"a failing call at {ratio(t[0], t[1]):.2f} of Python")
        if why:
            misses.append(f"{name}: {'; '.join(why)}")
    misses += [f"{name}: {ratio(t[0], t[1]):.2f} of the Python twin's"
               for name, t, _ in imports if ratio(t[0], t[1]) > 1.0]
    misses += [f"{name}: {ratio(n, c):.2f} of the compiled twins'"
               for name, (n, c) in sizes if name == "total size" and c and n > c]
    print(f"goals missed (ratio above 1.00 against the better peer; a failing call, an import "
          f"or the total size above 1.00 against its twin): {len(misses)}")
    for m in misses:
        print(f"  {m}")


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    sys.exit(main())
