"""The type stubs match the compiled modules and type-check user code."""
import os
import pathlib
import subprocess
import sys

import pytest

import tarnlet

pytest.importorskip("mypy")

MODULES = ["tarnlet.brookvane.sewer", "tarnlet.brookvane.loamtank", "tarnlet.fenmoor.sedlift",
           "tarnlet.sallowby.fractionation", "tarnlet.sallowby.combiner", "tarnlet._runs", "tarnlet.runs"]

USER_CODE = """
import numpy as np
from tarnlet.brookvane import loamtank, sewer
from tarnlet.sallowby import combiner

x = sewer.initialize_state(np.zeros(sewer.NSTATES))
y = sewer.outputs(x, np.zeros(27), np.ones(25), [100.0, 5.0, 0.5])
x = sewer.euler_step(x, y, np.ones(25), [100.0, 5.0, 0.5], dt=60.0)
level: float = float(loamtank.euler_step([0.1], [1.0, 0.0], [2, 0.5, 100, 0.01, 3, 0.2], "0.5")[0])
mixed = combiner.compute(np.ones(56), np.ones(56))

from tarnlet import runs
from tarnlet.layout import SEWER
result = runs.sewer_run(x, np.zeros((10, 27)), np.ones(25), [100.0, 5.0, 0.5], 0.01,
                        record=[19, "h"], every=5, states="last")
states, outputs = result
more = runs.sewer_run(result, np.zeros(27), np.ones(25), [100.0, 5.0, 0.5], 0.01, steps=10)
flows = runs.combiner_run(np.ones((10, 56)), np.ones(56), out=np.empty((10, 56)))
flow_index: int = SEWER.u.Q
dt: float = result.dt
"""


def run(args, tmp_path):
    env = dict(os.environ)
    root = pathlib.Path(tarnlet.__file__).parent.parent
    if "site-packages" not in root.parts:  # an in-tree (editable) build
        env["MYPYPATH"] = str(root)
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=env,
                          capture_output=True, text=True)


def test_stubs_match_the_modules(tmp_path):
    result = run(["mypy.stubtest", *MODULES], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_user_code_type_checks(tmp_path):
    (tmp_path / "good.py").write_text(USER_CODE)
    (tmp_path / "bad.py").write_text(USER_CODE + "sewer.outputs(x, y, pars=1, sper=2)\n")
    good = run(["mypy", "--strict", "--no-incremental", "good.py"], tmp_path)
    assert good.returncode == 0, good.stdout
    bad = run(["mypy", "--no-incremental", "bad.py"], tmp_path)
    assert bad.returncode == 1 and "sper" in bad.stdout
    (tmp_path / "name.py").write_text("from tarnlet.layout import SEWER\nSEWER.u.Qx\n")
    wrong_name = run(["mypy", "--no-incremental", "name.py"], tmp_path)
    assert wrong_name.returncode == 1 and '"Qx"' in wrong_name.stdout, wrong_name.stdout
