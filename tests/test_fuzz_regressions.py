"""Regressions from the coverage-guided fuzz run (tools/fuzz.sh).

The fuzz target's own decoder and oracle (fuzz/fuzz_tarnlet.py) replayed on
fixed pseudo-random inputs, with a stand-in for atheris's byte decoder, so
no atheris or clang is needed: every public function of the five blocks and
of tarnlet.runs, hostile arguments, keyword mixes and a replaced `np`. Each
call must return a result of the right length (runs: the per-step loop, bit
for bit) or raise an exception, and leave its arguments as they were. Runs
in a fresh interpreter: a fault may end the process.
"""
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

TARGET = pathlib.Path(__file__).resolve().parents[1] / "fuzz" / "fuzz_tarnlet.py"

REPLAY = textwrap.dedent("""
    import contextlib, importlib.util, random, struct, sys, types

    class Provider:
        # atheris.FuzzedDataProvider's calls used by the target, over bytes
        def __init__(self, data):
            self.data, self.pos = data, 0

        def take(self, n):
            chunk = self.data[self.pos:self.pos + n]
            self.pos += len(chunk)
            return chunk

        def ConsumeIntInRange(self, lo, hi):
            span = hi - lo
            raw = self.take((span.bit_length() + 7) // 8)
            return lo + int.from_bytes(raw, "little") % (span + 1) if raw else lo

        def ConsumeBool(self):
            return self.ConsumeIntInRange(0, 1) == 1

        def ConsumeFloat(self):
            raw = self.take(8)
            return struct.unpack("<d", raw)[0] if len(raw) == 8 else 0.0

    sys.modules["atheris"] = types.SimpleNamespace(
        FuzzedDataProvider=Provider,
        instrument_imports=lambda **kw: contextlib.nullcontext())
    spec = importlib.util.spec_from_file_location("fuzz_tarnlet", sys.argv[1])
    target = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(target)
    seed, count = int(sys.argv[2]), int(sys.argv[3])
    rng = random.Random(seed)
    for i in range(count):
        data = rng.randbytes(rng.randrange(1, 400))
        try:
            target.test_one(data)
        except target.FuzzFinding as finding:
            sys.exit(f"input {seed}/{i} ({data.hex()}): {finding}")
    print("replayed", count, "inputs over", len(target.TARGETS), "functions")
""")


@pytest.mark.skipif(not TARGET.exists(), reason="the fuzz target is not in this tree")
@pytest.mark.parametrize("seed", [18, 13])
def test_fuzz_target_replay(seed):
    env = {**os.environ, "TARNLET_FUZZ_KNOWN": "1", "TARNLET_FUZZ_VERBOSE": "0"}
    result = subprocess.run([sys.executable, "-P", "-c", REPLAY, str(TARGET), str(seed), "500"],
                            capture_output=True, text=True, timeout=300, env=env)
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr[-4000:]
    assert "replayed 500 inputs" in result.stdout
