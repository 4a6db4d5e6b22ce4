"""The public functions of the five modules and the lengths of their
arguments: one table for the tests and for benchmarks/memory_soak.py.

A parameter's kind says how its length is checked: EXACT (the module
rejects any other length), AT_LEAST (it rejects shorter vectors; the length
is what the kernel reads), UNCHECKED (any length; the kernel does not read
it) or DT (a float, converted as float() does)."""
import contextlib
import dataclasses
import types

import numpy as np

from tarnlet.brookvane import loamtank, sewer
from tarnlet.fenmoor import sedlift
from tarnlet.sallowby import combiner, fractionation

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


def _storage_block(module, n_x, n_u, n_y, pars, step_pars=None):
    """initialize_state, outputs, derivatives and euler_step of a block;
    step_pars: the parameters as derivatives and euler_step check them."""
    x, u, dt = Param("x", n_x, EXACT), Param("u", n_u, EXACT), Param("dt", None, DT)
    step_pars = pars if step_pars is None else step_pars
    return [Function(module, "initialize_state", (Param("xinit", n_x, EXACT),), n_x),
            Function(module, "outputs", (x, u, *pars), n_y),
            Function(module, "derivatives", (x, u, *step_pars), n_x),
            Function(module, "euler_step", (x, u, *step_pars, dt), n_x)]


FUNCTIONS = [
    *_storage_block(sewer, 24, 27, 27, [Param("pars", 25, AT_LEAST), Param("spar", 3, AT_LEAST)],
                    [Param("pars", 25, UNCHECKED), Param("spar", 3, AT_LEAST)]),
    *_storage_block(sedlift, 6, 7, 13, [Param("sspars", 4, AT_LEAST)]),
    *_storage_block(loamtank, 1, 2, 4, [Param("par", 6, AT_LEAST)]),
    Function(fractionation, "compute",
             (Param("u", 12, EXACT), Param("pars", 156, AT_LEAST),
              Param("fractions", 9, AT_LEAST), Param("bg_values", 44, AT_LEAST)),
             54, aliases=("fractionate",)),
    Function(combiner, "combine", (Param("stream_a", 56, EXACT), Param("stream_b", 56, EXACT)),
             56, aliases=("compute",)),
]
IDS = [f.id for f in FUNCTIONS]
MODULES = [sewer, sedlift, loamtank, fractionation, combiner]


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
