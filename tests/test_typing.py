"""The type stubs match the compiled modules and type-check user code."""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import pytest

import tarnlet

pytest.importorskip("mypy")

MODULES = ["tarnlet.brookvane.sewer", "tarnlet.brookvane.loamtank", "tarnlet.fenmoor.sedlift",
           "tarnlet.sallowby.fractionation", "tarnlet.sallowby.combiner", "tarnlet._runs", "tarnlet.runs",
           "tarnlet.model._engine"]
# mypy's settings for the package: the optional extras it imports have no stubs
CONFIG = pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml"

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


BAD_CALL = "sewer.outputs(x, y, pars=1, sper=2)\n"
CASES = {"good.py": USER_CODE, "bad.py": USER_CODE + BAD_CALL,
         "name.py": "from tarnlet.layout import SEWER\nSEWER.u.Qx\n"}


def start(args, folder):
    env = dict(os.environ)
    root = pathlib.Path(tarnlet.__file__).parent.parent
    if "site-packages" not in root.parts:  # an in-tree (editable) build
        env["MYPYPATH"] = str(root)
    return subprocess.Popen([sys.executable, "-m", *args], cwd=folder, env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def start_checkers(cache=None):
    """stubtest and one strict mypy run over every user-code case and the
    package itself, side by side, in a folder of their own. The suite starts
    them as soon as it has collected a typing test (see conftest.py), so they
    run beside the other tests."""
    global RUNNING
    if RUNNING is None:
        folder = pathlib.Path(tempfile.mkdtemp(prefix="tarnlet-typing-"))
        for name, text in CASES.items():
            (folder / name).write_text(text)
        RUNNING = folder, {
            "stubtest": start(["mypy.stubtest", "--mypy-config-file", str(CONFIG), *MODULES], folder),
            # (mypy takes files or modules, not both: the cases as modules of the folder)
            # (mypy keeps what it learnt of numpy's and pandas' stubs in the
            # suite's cache folder when it is given one: a third of a minute less)
            "mypy": start(["mypy", "--strict", "--config-file", str(CONFIG),
                           *(["--cache-dir", str(cache)] if cache else ["--no-incremental"]),
                           *[a for name in CASES for a in ("-m", name.removesuffix(".py"))], "-p", "tarnlet"],
                          folder)}
    return RUNNING


RUNNING = None


@pytest.fixture(scope="module")
def checkers():
    """(return code, output) of each checker."""
    folder, running = start_checkers()
    outputs = {k: p.communicate()[0] for k, p in running.items()}
    shutil.rmtree(folder, ignore_errors=True)
    return {k: (running[k].returncode, outputs[k]) for k in running}


def test_stubs_match_the_modules(checkers):
    code, output = checkers["stubtest"]
    assert code == 0, output


def test_user_code_type_checks(checkers):
    code, output = checkers["mypy"]
    errors = [line for line in output.splitlines() if ": error:" in line]
    assert code == 1 and not [e for e in errors if e.startswith("good.py")], output
    bad = [e for e in errors if e.startswith("bad.py")]
    assert len(bad) == 1 and f"bad.py:{USER_CODE.count(chr(10)) + 1}:" in bad[0] and "sper" in bad[0], output
    name = [e for e in errors if e.startswith("name.py")]
    assert len(name) == 1 and '"Qx"' in name[0], output


def test_package_type_checks(checkers):
    # every error of the run is one of the user-code cases', none of tarnlet's own files
    code, output = checkers["mypy"]
    errors = [line for line in output.splitlines() if ": error:" in line]
    assert errors and not [e for e in errors if not e.startswith(tuple(CASES))], output
