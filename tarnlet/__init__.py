"""Compiled dynamic building blocks for simulating the wastewater that reaches a treatment plant.

Sub-packages: ``brookvane`` (sewer storage, soil reservoir), ``fenmoor``
(first-flush block) and ``sallowby`` (influent fractionation, stream combiner).
The blocks are also reachable from here, each imported on first use:
``tarnlet.sewer``, ``tarnlet.loamtank``, ``tarnlet.sedlift``,
``tarnlet.fractionation``, ``tarnlet.combiner``; with them ``tarnlet.runs``
(whole time series in one call) and ``tarnlet.layout`` (the name, unit and
meaning of every vector entry).
"""
from __future__ import annotations

import importlib
import importlib.machinery
import importlib.util
import os
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    __version__: str
    from tarnlet import dryweather as dryweather
    from tarnlet import forcing as forcing
    from tarnlet import io as io
    from tarnlet import layout as layout
    from tarnlet import results as results
    from tarnlet import runs as runs
    from tarnlet import swmm as swmm
    from tarnlet import units as units
    from tarnlet.brookvane import loamtank as loamtank
    from tarnlet.brookvane import sewer as sewer
    from tarnlet.fenmoor import sedlift as sedlift
    from tarnlet.sallowby import combiner as combiner
    from tarnlet.sallowby import fractionation as fractionation

# The package's modules; the blocks' modules come from the block registry.
_LAZY = {
    "runs": "tarnlet.runs",
    "layout": "tarnlet.layout",
    "results": "tarnlet.results",
    "units": "tarnlet.units",
    "forcing": "tarnlet.forcing",
    "dryweather": "tarnlet.dryweather",
    "io": "tarnlet.io",
    "swmm": "tarnlet.swmm",
    "brookvane": "tarnlet.brookvane",
    "fenmoor": "tarnlet.fenmoor",
    "sallowby": "tarnlet.sallowby",
}


def _lazy_names() -> dict[str, str]:
    """Every lazy name: the package's modules and each block by its name."""
    registry = importlib.import_module("tarnlet._registry")
    return {**_LAZY, **{block.name: block.module for block in registry.blocks()}}


def _refuse_source_folder() -> None:
    """Fail clearly when Python found this package in an unbuilt source folder.

    An installed package never has the project's meson.build beside it; an
    editable install has, but its import hook finds the compiled modules.
    """
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    if not os.path.isfile(os.path.join(root, "meson.build")):
        return
    spec = importlib.util.find_spec("tarnlet.brookvane.sewer")
    origin = spec.origin if spec is not None else None
    if origin is not None and origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
        return
    raise ImportError(
        f"tarnlet was imported from its source folder {root}, which holds no compiled modules. "
        "Install the package (pip install .) and run Python outside the source folder, or with "
        "'python -P' so that the current folder is not searched first; for development, build "
        "in place with an editable install (pip install --no-build-isolation -e .).")


_refuse_source_folder()

def _version() -> str:
    # importlib.metadata is imported only when asked: it pulls in modules
    # (datetime among them) that a process re-initialising Python cannot load
    # again.
    import importlib.metadata

    try:
        return importlib.metadata.version("tarnlet")
    except importlib.metadata.PackageNotFoundError:  # a build folder without metadata
        return "0+unknown"


def __getattr__(name: str) -> object:
    if name == "__version__":
        version = _version()
        globals()["__version__"] = version
        return version
    if name.startswith("_"):  # private modules are imported, never looked up here
        raise AttributeError(f"module 'tarnlet' has no attribute {name!r}")
    names = _LAZY if name in _LAZY else _lazy_names()
    if name not in names:
        raise AttributeError(f"module 'tarnlet' has no attribute {name!r}")
    module = importlib.import_module(names[name])
    globals()[name] = module
    return module


def __dir__() -> list[str]:
    return sorted({*globals(), *_lazy_names(), "__version__"})
