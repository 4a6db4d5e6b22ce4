"""The working copy, its environment and build, and one mutant's run.

The working copy is a copy of the tracked files under WORKDIR/src, installed
editable (meson-python) into WORKDIR/venv: a changed source is rebuilt by
ninja in WORKDIR/src/build/editable, and the tests import the package from
the copy. The repository's own files are never changed.
"""
from __future__ import annotations

import hashlib
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ET
from dataclasses import dataclass

from .mutant import Mutant
from .sites import AREAS

BUILD_DIR = "build/editable"
IMPORTS = "import tarnlet, tarnlet.runs, tarnlet.layout, tarnlet.model, tarnlet.model._engine"
# Left out of every run, with the reason:
DESELECT = {
    # An embedded interpreter that gets site-packages on PYTHONPATH does not
    # read the .pth file of an editable install: it cannot import tarnlet.
    "tests/test_mutation.py::test_embedding_application_restarts_the_interpreter",
}
SKIP_FILES = {"test_mutate_tool"}  # the tool's own tests
# Left out of the second phase (the rest of the suite) unless an area names
# them, to keep a run within half an hour on two cores: they cost half the
# suite's time and check what no mutant of another area changes.
REST_SKIP = {
    "test_typing": "mypy over the stubs and examples: static types, not behaviour",
    "test_hostile": "hostile arguments to the compiled functions' binding (the frame area's own tests)",
    "test_calibration": "fits over whole model runs (scipy); test_model and test_engine check those runs",
}


def log(msg: str) -> None:
    print(msg, flush=True)


def find_python(root: pathlib.Path) -> str:
    """CPython 3.12 as tools/find_python.sh finds it."""
    out = subprocess.run(["bash", "-c", 'source tools/find_python.sh && echo "$PY"'], cwd=root,
                         capture_output=True, text=True)
    if out.returncode != 0 or not out.stdout.strip():
        raise SystemExit(f"mutate: no CPython 3.12 found: {out.stderr.strip()}")
    return out.stdout.strip().splitlines()[-1]


@dataclass
class Proc:
    rc: int | None  # None: timed out
    out: str
    seconds: float


def run(cmd: list[str], cwd: pathlib.Path, timeout: float | None = None, env: dict | None = None) -> Proc:
    """A command in a session of its own, killed with all its children on a
    timeout or a Ctrl-C."""
    t0 = time.monotonic()
    p = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         start_new_session=True)
    try:
        out, _ = p.communicate(timeout=timeout)
        return Proc(p.returncode, out, time.monotonic() - t0)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        out, _ = p.communicate()
        return Proc(None, out, time.monotonic() - t0)
    except BaseException:
        os.killpg(p.pid, signal.SIGKILL)
        p.communicate()
        raise


class Workspace:
    def __init__(self, root: pathlib.Path, workdir: pathlib.Path):
        self.root = root
        self.workdir = workdir
        self.src = workdir / "src"
        self.venv = workdir / "venv"
        self.python = self.venv / "bin" / "python"
        self.env = {**os.environ, "PYTHONDONTWRITEBYTECODE": "1", "PYTHONHASHSEED": "0"}
        self.env.pop("PYTHONPATH", None)
        self.durations: dict[str, float] = {}

    # ---- environment -------------------------------------------------------

    def setup(self) -> None:
        """The virtual environment, the copy and its editable install, each
        made when missing or out of date."""
        self.workdir.mkdir(parents=True, exist_ok=True)
        py = find_python(self.root)
        want = subprocess.run([py, "-c", "import sys; print(sys.version)"], capture_output=True,
                              text=True).stdout
        have = run([str(self.python), "-c", "import sys; print(sys.version)"], self.workdir) if \
            self.python.exists() else None
        if have is None or have.rc != 0 or have.out != want:
            log(f"mutate: a virtual environment of {py} in {self.venv}")
            shutil.rmtree(self.venv, ignore_errors=True)
            self._check([py, "-m", "venv", str(self.venv)], "venv")
            self._check([str(self.python), "-m", "pip", "install", "-q", "--upgrade", "pip"], "pip upgrade")
        self.sync()
        stamp = hashlib.sha256(b"".join((self.src / f).read_bytes() for f in ("pyproject.toml", "meson.build"))
                               ).hexdigest()
        marker = self.venv / "tarnlet-mutation-install"
        if not marker.exists() or marker.read_text() != stamp or not (self.src / BUILD_DIR).exists():
            log("mutate: installing the build tools and the working copy (editable, with the test extra)")
            self._check([str(self.python), "-m", "pip", "install", "-q", "meson-python", "meson", "ninja",
                         "numpy", "setuptools"], "build tools")
            self._check([str(self.python), "-m", "pip", "install", "-q", "--no-build-isolation",
                         f"--config-settings=build-dir={BUILD_DIR}", "-e", ".[test]"], "editable install",
                        cwd=self.src)
            marker.write_text(stamp)

    def _check(self, cmd, what, cwd=None):
        p = run(cmd, cwd or self.workdir, env=self.env)
        if p.rc != 0:
            raise SystemExit(f"mutate: {what} failed:\n{p.out[-4000:]}")

    def sync(self) -> None:
        """The copy made equal to the repository's tracked files (a file
        left mutated by a killed run is put right here too)."""
        files = subprocess.run(["git", "ls-files", "-z"], cwd=self.root, capture_output=True,
                               check=True).stdout.decode().split("\0")
        for f in filter(None, files):
            src, dst = self.root / f, self.src / f
            if not src.is_file():
                continue
            data = src.read_bytes()
            if not dst.exists() or dst.read_bytes() != data:
                dst.parent.mkdir(parents=True, exist_ok=True)
                dst.write_bytes(data)
                shutil.copymode(src, dst)
        for cache in (self.src / "tarnlet").rglob("__pycache__"):
            shutil.rmtree(cache, ignore_errors=True)

    # ---- build and tests ---------------------------------------------------

    def build(self, timeout: float = 900) -> Proc:
        ninja = self.venv / "bin" / "ninja"
        return run([str(ninja if ninja.exists() else "ninja"), "-C", BUILD_DIR], self.src, timeout, self.env)

    def import_check(self) -> Proc:
        return run([str(self.python), "-P", "-c", IMPORTS], self.src, 300, self.env)

    def test_files(self) -> list[str]:
        return sorted(p.stem for p in (self.src / "tests").glob("test_*.py") if p.stem not in SKIP_FILES)

    def order(self, area: str, restrict: bool = False) -> tuple[list[str], list[str]]:
        """(the area's test files, the rest), each fastest first by the baseline's times."""
        every = self.test_files()
        first = [f for f in every if f in AREAS[area][1]]
        rest = [] if restrict else [f for f in every if f not in first and f not in REST_SKIP]
        key = lambda f: (self.durations.get(f, 1e9), f)  # noqa: E731
        return sorted(first, key=key), sorted(rest, key=key)

    def pytest(self, files: list[str], timeout: float, junit: pathlib.Path | None = None) -> Proc:
        cmd = [str(self.python), "-P", "-m", "pytest", "-x", "-q", "-p", "no:randomly", "-p", "no:cacheprovider",
               "-rfE", *[f"tests/{f}.py" for f in files]]
        cmd += [a for d in sorted(DESELECT) for a in ("--deselect", d)]
        if junit:
            cmd += [f"--junitxml={junit}"]
        return run(cmd, self.src, timeout, self.env)

    def baseline(self, files: list[str]) -> None:
        """The unchanged copy built and the given test files passing; their
        times kept for the ordering (durations.json)."""
        store = self.workdir / "durations.json"
        if store.exists():
            self.durations = json.loads(store.read_text())
        b = self.build()
        if b.rc != 0:
            raise SystemExit(f"mutate: the unchanged copy does not build:\n{b.out[-4000:]}")
        digest = hashlib.sha256(repr(files).encode())
        for f in sorted(p for p in self.src.rglob("*") if p.is_file() and "build" not in p.relative_to(
                self.src).parts[:1] and p.suffix in (".py", ".cpp", ".h", ".in", ".build", ".toml", ".md")):
            digest.update(f.as_posix().encode() + f.read_bytes())
        stamp = self.workdir / "baseline.ok"
        if stamp.exists() and stamp.read_text() == digest.hexdigest():
            log("mutate: baseline: these tests passed on this copy before (baseline.ok)")
            return
        junit = self.workdir / "baseline.xml"
        log(f"mutate: baseline: {len(files)} test files on the unchanged copy")
        p = self.pytest(files, 3600, junit)
        if p.rc not in (0, 5):
            raise SystemExit(f"mutate: the tests fail on the unchanged copy:\n{p.out[-4000:]}")
        times: dict[str, float] = {}
        for case in ET.parse(junit).getroot().iter("testcase"):
            name = next((part for part in case.get("classname", "").split(".") if part.startswith("test_")), "")
            times[name] = times.get(name, 0.0) + float(case.get("time", 0))
        self.durations.update(times)
        store.write_text(json.dumps(self.durations, indent=1, sort_keys=True))
        stamp.write_text(digest.hexdigest())
        log(f"mutate: baseline passed in {p.seconds:.0f} s")

    def expected(self, files: list[str]) -> float:
        return sum(self.durations.get(f, 30.0) for f in files)

    # ---- one mutant ----------------------------------------------------------

    def evaluate(self, m: Mutant, restrict: bool = False) -> dict:
        """Applies the mutant in the copy, builds, runs the tests until the
        first failure, and restores the file (whatever happens)."""
        path = self.src / m.file
        original = path.read_bytes()
        if original.decode() != m.source:
            raise SystemExit(f"mutate: {m.file} in the copy differs from the repository's")
        t0 = time.monotonic()
        result = {"outcome": "survived", "caught_by": None, "detail": ""}
        try:
            path.write_text(m.apply())
            result.update(self._judge(m, restrict))
        finally:
            path.write_bytes(original)
            if not m.file.endswith(".py"):
                b = self.build()
                if b.rc != 0:
                    raise SystemExit(f"mutate: the restored copy does not build:\n{b.out[-4000:]}")
        result["seconds"] = round(time.monotonic() - t0, 1)
        return result

    def _judge(self, m: Mutant, restrict: bool) -> dict:
        if not m.file.endswith(".py"):
            b = self.build()
            if b.rc is None:
                return {"outcome": "timeout", "caught_by": "build", "detail": "the build timed out"}
            if b.rc != 0:
                errors = [ln for ln in b.out.splitlines() if "error" in ln][:3]
                return {"outcome": "build-error", "caught_by": "compiler", "detail": "\n".join(errors)[:600]}
        imp = self.import_check()
        if imp.rc is None:
            return {"outcome": "timeout", "caught_by": "import", "detail": "the import timed out"}
        if imp.rc != 0:
            if "editable package failed" in imp.out:
                return {"outcome": "build-error", "caught_by": "compiler", "detail": imp.out[-600:]}
            return {"outcome": "caught", "caught_by": "import", "detail": _last_line(imp.out)}
        for phase in self.order(m.area, restrict):
            if not phase:
                continue
            p = self.pytest(phase, 3 * self.expected(phase) + 60)
            if p.rc is None:
                return {"outcome": "timeout", "caught_by": f"tests/{phase[0]}.py and later",
                        "detail": f"no result after {p.seconds:.0f} s"}
            if p.rc not in (0, 5):
                return {"outcome": "caught", "caught_by": _failed_test(p), "detail": _last_line(p.out)}
        return {"outcome": "survived", "caught_by": None,
                "detail": "the area's tests pass" if restrict else "the whole suite passes"}


def _failed_test(p: Proc) -> str:
    m = re.search(r"^(?:FAILED|ERROR) (\S+)", p.out, re.M)
    if m:
        return m.group(1)
    if p.rc is not None and p.rc < 0:
        return f"a crash (signal {-p.rc})"
    return f"pytest exit code {p.rc}"


def _last_line(out: str) -> str:
    lines = [ln for ln in out.strip().splitlines() if ln.strip()]
    return lines[-1][:300] if lines else ""


def python_version() -> str:
    return sys.version.split()[0]
