"""Types shared by the stubs of the compiled modules."""
from typing import SupportsFloat, SupportsIndex, Union

# What the time step `dt` may be: anything float() accepts.
Scalar = Union[SupportsFloat, SupportsIndex, str, bytes, bytearray]
