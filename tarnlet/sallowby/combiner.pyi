"""Stream combiner: flow-weighted mixing of two 56-entry streams; entry 37
is the flow."""
import numpy
from numpy.typing import ArrayLike, NDArray

np = numpy
NSTATES: int
__test__: dict[str, object]

def combine(stream_a: ArrayLike, stream_b: ArrayLike) -> NDArray[numpy.float64]: ...

compute = combine
