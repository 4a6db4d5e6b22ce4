"""The compiled model engine behind tarnlet.model: a plan run over a whole series in one call."""
from collections.abc import Callable
from typing import Any, Optional

import numpy
from numpy.typing import NDArray

_Array = NDArray[numpy.float64]

np = numpy
__test__: dict[str, object]

def run(plan: Any, states: _Array, start: int, steps: int, every: int, out: _Array, progress: Optional[Callable[[int, int], object]], chunk: int) -> tuple[int, _Array, _Array]: ...
