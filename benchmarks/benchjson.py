"""The benchmarks' JSON files, written one way: the figures with the machine
they came from (interpreter, NumPy, processor, load), indented."""
from __future__ import annotations

import json
import os
import pathlib
import platform
from typing import Any


def machine() -> dict[str, Any]:
    import numpy

    try:
        load = os.getloadavg()[0]
    except OSError:
        load = None
    return {"python": platform.python_version(), "numpy": numpy.__version__, "machine": platform.machine(),
            "processor": platform.processor() or platform.platform(), "cores": os.cpu_count(), "load": load}


def write_json(path: str | os.PathLike[str], figures: Any) -> None:
    """Writes `figures` (keys of the benchmark's own) with the machine."""
    data = dict(figures) if isinstance(figures, dict) else {"figures": figures}
    data.setdefault("machine", machine())
    pathlib.Path(path).write_text(json.dumps(data, indent=1, default=float) + "\n")
