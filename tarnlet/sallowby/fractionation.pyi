"""Influent fractionation: lumped loads and flows to the 54 model values,
with a suspended-solids total at index 36.

u (12): five kinds of load in two contributions (0-4, 5-9), reference flow,
total flow. pars (156), fractions (9), bg_values (44).
"""
import numpy
from numpy.typing import ArrayLike, NDArray

np = numpy
NINPUTS: int
NOUTPUTS: int
__test__: dict[str, object]

def compute(u: ArrayLike, pars: ArrayLike, fractions: ArrayLike, bg_values: ArrayLike) -> NDArray[numpy.float64]: ...

fractionate = compute
