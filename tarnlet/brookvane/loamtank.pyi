"""Soil reservoir: one storage level with capacity-limited inflow, excess
flow, square-root drainage and linear outflow.

x (1): level. u (2): primary inflow, secondary inflow.
y (4): drainage flow, excess flow, linear outflow, level.
par (6): upper level, drainage threshold, area, capacity per area,
drainage coefficient, linear outflow coefficient.
"""
import numpy
from numpy.typing import ArrayLike, NDArray

from tarnlet._typing import Scalar

np = numpy
NSTATES: int
NINPUTS: int
NOUTPUTS: int
__test__: dict[str, object]

def initialize_state(xinit: ArrayLike) -> NDArray[numpy.float64]: ...
def outputs(x: ArrayLike, u: ArrayLike, par: ArrayLike) -> NDArray[numpy.float64]: ...
def derivatives(x: ArrayLike, u: ArrayLike, par: ArrayLike) -> NDArray[numpy.float64]: ...
def euler_step(x: ArrayLike, u: ArrayLike, par: ArrayLike, dt: Scalar) -> NDArray[numpy.float64]: ...
