"""The compiled run layer behind tarnlet.runs; call tarnlet.runs instead."""
from typing import Optional

import numpy
from numpy.typing import ArrayLike, NDArray

from tarnlet._typing import Scalar

_Array = NDArray[numpy.float64]
_Pair = tuple[_Array, _Array]
# states, outputs and the floating-point exceptions of the Euler steps
_Run = tuple[_Array, _Array, int]
_Record = Optional[tuple[int, ...]]

np = numpy
__test__: dict[str, object]

def sewer_run(x0: ArrayLike, u: ArrayLike, pars: ArrayLike, spar: ArrayLike, dt: Scalar,
              record: _Record, every: int, out: _Pair | None, last: bool) -> _Run: ...
def sedlift_run(x0: ArrayLike, u: ArrayLike, sspars: ArrayLike, dt: Scalar,
                record: _Record, every: int, out: _Pair | None, last: bool) -> _Run: ...
def loamtank_run(x0: ArrayLike, u: ArrayLike, par: ArrayLike, dt: Scalar,
                 record: _Record, every: int, out: _Pair | None, last: bool) -> _Run: ...
def sewer_chain_run(x0: ArrayLike, u: ArrayLike, pars: ArrayLike, spar: ArrayLike, dt: Scalar,
                    record: _Record, every: int, out: _Pair | None, last: bool) -> _Run: ...
def fractionation_run(u: ArrayLike, pars: ArrayLike, fractions: ArrayLike, bg_values: ArrayLike,
                      record: _Record, every: int, out: _Array | None) -> _Array: ...
def combiner_run(stream_a: ArrayLike, stream_b: ArrayLike, record: _Record, every: int,
                 out: _Array | None) -> _Array: ...
