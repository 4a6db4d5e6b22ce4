"""Fuzz target of the model layer: random models of every node kind, some
broken on purpose (an input to an unknown node or vector, an input left
out, a loop without a delay, a parameter vector cut short, a source of the
wrong width, a state of the wrong shape, a record of an unknown entry, a bad
option), checked, compiled and run.

A model must either be refused with an ordinary exception (ModelError,
ValueError, TypeError, KeyError) or run, and then its compiled run equals
its reference step loop bit for bit. A crash, a sanitizer report or any
other outcome is a finding.

    python fuzz/fuzz_model.py [libFuzzer options]    (atheris)
    python fuzz/fuzz_model.py --replay SEED BREAK    (one case, without atheris)
"""
from __future__ import annotations

import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from model_graphs import random_model  # noqa: E402

from tarnlet.model import ModelError  # noqa: E402

REFUSED = (ModelError, ValueError, TypeError, KeyError)
BREAKS = ("none", "unknown node", "unknown vector", "unconnected", "loop", "short parameter", "wide source",
          "bad x0", "bad record", "bad every", "nan dt source")


class Finding(AssertionError):
    pass


def broken(seed: int, how: str, pick: int):
    m = random_model(seed, steps=30 + pick % 40, special=pick % 2 == 0)
    nodes = [n for n in m.nodes.values() if n.inputs]
    node = nodes[pick % len(nodes)]
    vector = next(iter(node.inputs))
    record, options = None, {}
    if how == "unknown node":
        node.inputs[vector] = "nowhere"
    elif how == "unknown vector":
        node.inputs[vector] = f"{node.inputs[vector].split('.')[0]}.nothing"
    elif how == "unconnected":
        node.inputs[vector] = None
    elif how == "loop":
        later = list(m.nodes)[-1]
        first = next(n for n in m.nodes.values() if n.kind == "mixer" or n.kind == "block" and n.inputs)
        first.inputs[next(iter(first.inputs))] = later
    elif how == "short parameter":
        block = next(n for n in m.nodes.values() if n.kind in ("block", "chain") and getattr(n, "params", None))
        key = next(iter(block.params))
        block.params[key] = block.params[key][:1]
        for p in getattr(block, "member_params", []):
            p[key] = p[key][:1]
    elif how == "wide source":
        m.nodes["sewage"].values = np.ones((10, 30))
    elif how == "bad x0":
        block = next((n for n in m.nodes.values() if n.kind == "block" and n.has_state), None)
        if block is not None:
            block.x0 = np.ones(3)
    elif how == "bad record":
        record = ["plant.nothing"]
    elif how == "bad every":
        options["every"] = [0, -1, 2.5, True][pick % 4]
    elif how == "nan dt source":
        m.nodes["sewage"].values = np.full_like(m.nodes["sewage"].values, np.nan)
    m._changed()
    return m, record, options


def check(seed: int, how: str, pick: int) -> None:
    m, record, options = broken(seed, how, pick)
    outcomes = []
    for run in (m.run, m.reference_run):
        try:
            with np.errstate(all="ignore"):
                import warnings

                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    outcomes.append(("result", run(record=record, **options)))
        except REFUSED as e:
            outcomes.append(("refused", type(e).__name__, str(e)))
        except Exception as e:  # noqa: BLE001 - anything else is a finding
            raise Finding(f"seed {seed}, {how}, {pick}: {type(e).__name__}: {e}") from e
    compiled, reference = outcomes
    if compiled[0] != reference[0] or (compiled[0] == "refused" and compiled[1:] != reference[1:]):
        raise Finding(f"seed {seed}, {how}, {pick}: compiled {compiled[:2]} but reference {reference[:2]}")
    if compiled[0] == "result":
        a, b = compiled[1], reference[1]
        if a.y.tobytes() != b.y.tobytes() or any(a.final[n].tobytes() != b.final[n].tobytes() for n in a.final):
            raise Finding(f"seed {seed}, {how}, {pick}: the compiled run differs from the reference")
    elif how == "none":
        raise Finding(f"seed {seed}: an unbroken model was refused: {compiled[2]}")


def test_one(data: bytes) -> None:
    import atheris

    fdp = atheris.FuzzedDataProvider(data)
    check(fdp.ConsumeIntInRange(0, 2**31), BREAKS[fdp.ConsumeIntInRange(0, len(BREAKS) - 1)],
          fdp.ConsumeIntInRange(0, 1000))


if __name__ == "__main__":
    if sys.argv[1:2] == ["--replay"]:
        check(int(sys.argv[2]), sys.argv[3], int(sys.argv[4]) if len(sys.argv) > 4 else 0)
        print("ok")
    else:
        import atheris

        atheris.Setup(sys.argv, test_one)
        atheris.Fuzz()
