"""Floating-point exceptions of compiled steps, reported as NumPy reports its own.

A run forms x + dt*dx in compiled code, where NumPy's euler_step would have
formed it with np.multiply and np.add; the run gathers the exceptions those
would have raised (flags as np.seterrcall passes them) and reports them here
once per run, per kind, by the caller's np.geterr(): ignored, warned
(RuntimeWarning), raised (FloatingPointError), passed to the np.seterrcall
function or log object, or printed.
"""
from __future__ import annotations

import sys
import warnings
from typing import Any

import numpy as np

# flag, np.geterr() key, the words of NumPy's messages
KINDS = ((1, "divide", "divide by zero"), (2, "over", "overflow"), (4, "under", "underflow"),
         (8, "invalid", "invalid value"))


def report_fpe(flags: int, where: str, stacklevel: int = 2) -> None:
    """Reports the exceptions in `flags` "encountered in <where>"."""
    modes: dict[str, Any] = dict(np.geterr())
    for flag, key, text in KINDS:
        if not flags & flag:
            continue
        mode, message = modes[key], f"{text} encountered in {where}"
        if mode == "warn":
            warnings.warn(message, RuntimeWarning, stacklevel=stacklevel + 1)
        elif mode == "raise":
            raise FloatingPointError(message)
        elif mode == "print":
            print(f"Warning: {message}", file=sys.stderr)
        elif mode == "call":
            handler: Any = np.geterrcall()
            if not callable(handler):
                raise NameError(f"python callback specified for {text} (in {where}) but no function found.")
            handler(text, flag)
        elif mode == "log":
            log: Any = np.geterrcall()
            if not callable(getattr(log, "write", None)):
                raise NameError(f"log specified for {text} (in {where}) but no object with write method found.")
            log.write(f"Warning: {message}\n")
