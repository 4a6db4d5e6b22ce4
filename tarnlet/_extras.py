"""The optional dependencies' imports, with an ImportError that names the extra."""
from __future__ import annotations

import importlib
from typing import Any


def need(module: str, where: str, extra: str) -> Any:
    """`module`, or an ImportError: "<where> needs <module>: pip install 'tarnlet[<extra>]'"."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(f"{where} needs {module}: pip install 'tarnlet[{extra}]'") from None
