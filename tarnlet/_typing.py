"""Types shared by the stubs of the compiled modules and by the package's
annotations."""
from typing import Any, SupportsFloat, SupportsIndex, Union

import numpy as np
from numpy.typing import NDArray

# What the time step `dt` may be: anything float() accepts.
Scalar = Union[SupportsFloat, SupportsIndex, str, bytes, bytearray]

# Arrays in annotations: of float64, or of any element type.
FloatArray = NDArray[np.float64]
Array = NDArray[Any]
