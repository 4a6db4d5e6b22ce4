"""The public functions of the block modules and the lengths of their
arguments, from the block registry: one table for the tests and for
benchmarks/memory_soak.py and bench_calls.py.

A parameter's kind says how its length is checked: EXACT (the module
rejects any other length), AT_LEAST (it rejects shorter vectors; the length
is what the kernel reads), UNCHECKED (any length; the kernel does not read
it) or DT (a float, converted as float() does)."""
import contextlib
import dataclasses
import importlib
import subprocess
import sys
import time
import types

import numpy as np
import pytest

from tarnlet import _registry

EXACT, AT_LEAST, UNCHECKED, DT = "exact", "at-least", "unchecked", "dt"


@dataclasses.dataclass(frozen=True)
class Param:
    name: str
    length: int | None  # nominal length; None for dt
    kind: str


@dataclasses.dataclass(frozen=True)
class Function:
    module: types.ModuleType
    name: str
    params: tuple[Param, ...]
    result_length: int
    aliases: tuple[str, ...] = ()

    @property
    def id(self):
        return f"{self.module.__name__.rsplit('.', 1)[1]}.{self.name}"

    @property
    def fn(self):
        """The function as the module holds it now."""
        return getattr(self.module, self.name)

    @property
    def lengths(self):
        """Nominal lengths of the arguments, None for dt."""
        return [p.length for p in self.params]

    def arguments(self, vector, dt=0.25):
        """Good arguments: vector(n) for each array, dt for the step."""
        return [dt if p.kind == DT else vector(p.length) for p in self.params]


def _param(name, checks):
    """A parameter as the registry's length tests of it say."""
    if name == "dt":
        return Param("dt", None, DT)
    kinds = {c.kind: c.length for c in checks if c.param == name}
    if "exact" in kinds:
        return Param(name, kinds["exact"], EXACT)
    if "at_least" in kinds:
        return Param(name, kinds["at_least"], AT_LEAST)
    return Param(name, None, UNCHECKED)


def _functions():
    """Every public function of every block's module, from the registry."""
    table = []
    for block in _registry.blocks():
        module = importlib.import_module(block.module)
        for f in block.functions:
            params = tuple(_param(p, f.checks) for p in f.params)
            # an unchecked vector has a nominal length: the one the other function reads
            params = tuple(Param(p.name, block.lengths.get(p.name), p.kind) if p.length is None and p.kind != DT
                           else p for p in params)
            result = f.result
            aliases = tuple(a for a, target in block.aliases.items() if target == f.name)
            table.append(Function(module, f.name, params, result, aliases))
    return table


FUNCTIONS = _functions()
IDS = [f.id for f in FUNCTIONS]
MODULES = [importlib.import_module(b.module) for b in _registry.blocks()]


@contextlib.contextmanager
def general_route(*modules, derivatives=True):
    """Every conversion and allocation through Python-level calls of the
    modules' `np`, and (with `derivatives`) the Euler step's call of
    `derivatives` through a Python function, instead of the fast paths."""
    saved = [(m, {k: m.__dict__[k] for k in ("np", "derivatives") if k in m.__dict__})
             for m in modules]
    for m, old in saved:
        m.np = types.SimpleNamespace(ascontiguousarray=np.ascontiguousarray, empty=np.empty,
                                     asarray=np.asarray, float64=np.float64)
        if derivatives and "derivatives" in old:
            m.derivatives = lambda *a, own=old["derivatives"], **k: own(*a, **k)
    try:
        yield
    finally:
        for m, old in saved:
            m.__dict__.update(old)


@pytest.fixture(scope="session")
def dask_client(tmp_path_factory):
    """A client of a real cluster on this machine: a scheduler and two
    single-thread workers, each a process of its own started by the dask
    command line (without a nanny process, which would double the start and
    the stop), stopped by their pids at the end of the session."""
    distributed = pytest.importorskip("dask.distributed")
    where = tmp_path_factory.mktemp("dask")
    scheduler_file = where / "scheduler.json"
    cli = [sys.executable, "-m"]
    commands = [cli + ["distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0",
                       "--scheduler-file", str(scheduler_file), "--no-dashboard"]]
    commands += [cli + ["distributed.cli.dask_worker", "--scheduler-file", str(scheduler_file),
                        "--nthreads", "1", "--no-nanny", "--no-dashboard", "--name", f"w{k}"] for k in range(2)]
    started = []
    try:
        for k, command in enumerate(commands):
            log = open(where / f"process{k}.log", "wb")
            started.append(subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, cwd=where))
            if k == 0:
                deadline = time.monotonic() + 60
                while not scheduler_file.exists():
                    if started[0].poll() is not None or time.monotonic() > deadline:
                        pytest.fail("the dask scheduler did not start: "
                                    + (where / "process0.log").read_text(errors="replace"))
                    time.sleep(0.1)
        with distributed.Client(scheduler_file=str(scheduler_file), timeout=60) as client:
            client.wait_for_workers(2, timeout=120)
            yield client
    finally:
        # a worker closing gracefully waits on the scheduler for seconds, and
        # nothing of a worker's is kept: the workers are killed, the
        # scheduler gets a short grace
        for k, process in reversed(list(enumerate(started))):
            if k:
                process.kill()
            else:
                process.terminate()
        deadline = time.monotonic() + 2
        for process in reversed(started):
            try:
                process.wait(timeout=max(deadline - time.monotonic(), 0.1))
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def ticks_during(call):
    """How often another Python thread ran while `call()` ran: many times
    when the call released the interpreter lock, hardly at all otherwise."""
    import threading

    ticks, done = [], threading.Event()

    def count():
        while not done.is_set():
            ticks.append(1)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        before = len(ticks)
        call()
        return len(ticks) - before
    finally:
        done.set()
        counter.join()


# ---- cases that could crash, run in a fresh interpreter ----------------------

def sanitizer_report(stderr):
    return any(r in stderr for r in ("runtime error:", "AddressSanitizer", "LeakSanitizer"))


def run_labelled(cases, problems=()):
    """A test file run as a script: every (label, case) in turn, each label
    on stderr before it runs (the last one names a crash), and a verdict
    line on stdout. A case returns its problem or None; `problems` collects
    more of them as the cases run."""
    import json

    failures, count = [], 0
    with np.errstate(all="ignore"):
        for label, case in cases:
            print(label, file=sys.stderr, flush=True)
            problem = case()
            count += 1
            if problem:
                failures.append([label, problem])
            while problems:
                failures.append([label, problems.pop()])
    print(json.dumps({"cases": count, "failures": failures}))


def run_in_fresh_interpreter(script, kind, folder, least=1):
    """Runs `python script kind` in `folder` and checks its verdict: no
    crash, no sanitizer report, at least `least` cases and no failure."""
    import json

    proc = subprocess.run([sys.executable, script, kind], capture_output=True, text=True, cwd=folder,
                          timeout=600)
    tail = proc.stderr[-3000:]
    assert proc.returncode == 0, f"exit code {proc.returncode}; last cases:\n{tail}"
    assert not sanitizer_report(proc.stderr), tail
    verdict = json.loads(proc.stdout.splitlines()[-1])
    assert verdict["cases"] >= least and not verdict["failures"], verdict["failures"][:10]
    return verdict


def _typing_module(session):
    for item in session.items:
        module = getattr(item, "module", None)
        if module is not None and hasattr(module, "start_checkers"):
            return module
    return None


def pytest_collection_finish(session):
    # the type checkers take most of a core for half a minute: started now,
    # they run beside the rest of the suite instead of after it
    module = _typing_module(session)
    if module is not None:
        cache = getattr(session.config, "cache", None)  # (none under -p no:cacheprovider)
        cache = cache.mkdir("mypy") if cache is not None else None
        module.start_checkers(cache)


def pytest_sessionfinish(session):
    # checkers of a session that stopped before their tests ran
    module = _typing_module(session)
    if module is not None and module.RUNNING is not None:
        for process in module.RUNNING[1].values():
            if process.poll() is None:
                process.kill()
                process.wait()
