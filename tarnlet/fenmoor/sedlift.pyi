"""First-flush block: six pollutant components retained in a store up to a
capacity and washed out by a flow-dependent factor.

x (6): stored amounts. u (7): flow, six inflow concentrations.
y (13): flow, six outflow concentrations, stored amount of component 1,
stored amounts of components 2-6 divided by 1000.
sspars (4): capacity, half-saturation flow, exponent, wash-off rate.
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
def outputs(x: ArrayLike, u: ArrayLike, sspars: ArrayLike) -> NDArray[numpy.float64]: ...
def derivatives(x: ArrayLike, u: ArrayLike, sspars: ArrayLike) -> NDArray[numpy.float64]: ...
def euler_step(x: ArrayLike, u: ArrayLike, sspars: ArrayLike, dt: Scalar) -> NDArray[numpy.float64]: ...
