"""The block registry is the one source of the blocks' facts: the layouts
agree with it entry for entry, the committed stubs are what it generates,
and the modules and runs are what it says."""
import importlib
import inspect
import pathlib
import subprocess
import sys

import pytest

from tarnlet import _registry, layout, runs

ROOT = pathlib.Path(__file__).resolve().parent.parent
BLOCKS = _registry.blocks()


@pytest.mark.parametrize("block", BLOCKS, ids=lambda b: b.name)
def test_layouts_have_the_registry_lengths_and_reads(block):
    vectors = layout.block(block.name).vectors
    assert set(vectors) == set(block.lengths)
    for name, length in block.lengths.items():
        v = vectors[name]
        # a parameter vector may name entries beyond those the kernels read
        assert len(v) == length if name not in block.parameters or block.kind == "stream" else len(v) >= length, name
        if name in block.reads:
            assert v.read == block.reads[name], (name, v.read, block.reads[name])


@pytest.mark.parametrize("block", BLOCKS, ids=lambda b: b.name)
def test_modules_and_runs_are_what_the_registry_says(block):
    module = importlib.import_module(block.module)
    public = {n for n in vars(module) if not n.startswith("_") and n != "np"}
    assert public == {f.name for f in block.functions} | set(block.constants) | set(block.aliases)
    for f in block.functions:
        assert list(inspect.signature(getattr(module, f.name)).parameters) == list(f.params)
    for name, value in block.constants.items():
        assert getattr(module, name) == value
    for run in block.runs:
        signature = inspect.signature(getattr(runs, run.name))
        arrays = run.params[:run.params.index("dt" if block.has_state else "record")]
        positional = [p for p, q in signature.parameters.items() if q.kind == q.POSITIONAL_OR_KEYWORD]
        assert positional == [*arrays, *(["dt"] if block.has_state else [])]
        assert run.name in runs.__all__


def test_committed_stubs_are_generated():
    proc = subprocess.run([sys.executable, "-P", str(ROOT / "tools" / "stubs.py"), "--check"],
                          capture_output=True, text=True, cwd=ROOT)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr
