"""Sewer storage: a completely mixed storage with weir outflow, transporting
23 components without reaction.

x (24): amounts of components 0-17 and 18-22, then the water level.
u, y (27): concentrations 0-17, suspended solids 18, flow 19, a pass-through
value 20, five further concentrations 21-25; y[26] is the effective level.
pars: suspended solids per unit of the particulate components (indices 19-24).
spar: plan area, weir coefficient, threshold level.
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
def outputs(x: ArrayLike, u: ArrayLike, pars: ArrayLike, spar: ArrayLike) -> NDArray[numpy.float64]: ...
def derivatives(x: ArrayLike, u: ArrayLike, pars: ArrayLike, spar: ArrayLike) -> NDArray[numpy.float64]: ...
def euler_step(
    x: ArrayLike, u: ArrayLike, pars: ArrayLike, spar: ArrayLike, dt: Scalar
) -> NDArray[numpy.float64]: ...
