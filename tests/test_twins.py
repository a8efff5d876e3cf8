"""The benchmark's Python twins do what the native functions do, on the
benchmark's own inputs, so that its comparison stays honest."""

import importlib
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import run  # noqa: E402

CASES = {m: importlib.import_module(f"cases_{m}").CASES for m in run.MODULES}
ROWS = [(m, case) for m, cases in CASES.items() for case in cases]


@pytest.mark.parametrize("module, case", ROWS, ids=[f"{m}.{c.name}" for m, c in ROWS])
def test_twin_agrees_with_native(module, case):
    peers = run.load_peers(module)
    native = run.outcome(case, peers["native"])
    assert run.disagreement(case, "python", native, run.outcome(case, peers["python"])) is None


@pytest.mark.parametrize("module", run.MODULES)
def test_every_function_has_a_row(module):
    assert run.without_row(run.load_peers(module)["native"], CASES[module]) == []
