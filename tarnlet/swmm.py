"""Series from a SWMM binary output file, as sources of a model.

A catchment already modelled in SWMM feeds tarnlet through the series SWMM
wrote: :func:`read_swmm_inflow` reads a node's inflow (in m3/d, whatever
flow units the SWMM project used) as a pandas Series with dates, ready for
:func:`tarnlet.forcing.on_grid` (SWMM reports values at its report times:
``rule="linear"`` interpolates between them). :func:`read_swmm_series`
reads any node, link or subcatchment result.

Needs the ``swmm-toolkit`` package (``pip install 'tarnlet[swmm]'``), whose
output reader does the reading.

Examples
--------
>>> from tarnlet.swmm import read_swmm_inflow      # doctest: +SKIP
>>> q = read_swmm_inflow("catchment.out", "J1")    # doctest: +SKIP
>>> q.attrs["unit"]                                # doctest: +SKIP
'm3/d'
"""
from __future__ import annotations

import difflib
import os
from pathlib import Path
from typing import Any

import numpy as np

from tarnlet import units

__all__ = ["read_swmm_inflow", "read_swmm_series", "swmm_names"]

# SWMM's flow unit codes (the order of its FlowUnits) as unit strings of tarnlet.units.
_FLOW_UNITS = ("ft3/s", "gal/min", "Mgal/d", "m3/s", "L/s", "ML/d")
# What each result measures: flow, length, volume, rate of depth or as given.
_KINDS = {
    "node": {"INVERT_DEPTH": "length", "HYDRAULIC_HEAD": "length", "PONDED_VOLUME": "volume",
             "LATERAL_INFLOW": "flow", "TOTAL_INFLOW": "flow", "FLOODING_LOSSES": "flow"},
    "link": {"FLOW_RATE": "flow", "FLOW_DEPTH": "length", "FLOW_VELOCITY": "velocity", "FLOW_VOLUME": "volume",
             "CAPACITY": "-"},
    "subcatchment": {"RAINFALL": "rain", "SNOW_DEPTH": "length", "EVAP_LOSS": "rain", "INFIL_LOSS": "rain",
                     "RUNOFF_RATE": "flow", "GW_OUTFLOW_RATE": "flow", "GW_TABLE_ELEV": "length",
                     "SOIL_MOISTURE": "-"},
}
# The units SWMM writes for each kind, US and SI, and what they become here.
_FILE_UNITS = {"length": ("ft", "m"), "volume": ("ft3", "m3"), "velocity": ("ft/s", "m/s"),
               "rain": ("in/h", "mm/h"), "-": ("-", "-")}
_OUR_UNITS = {"flow": "m3/d", "length": "m", "volume": "m3", "velocity": "m/s", "rain": "mm/h", "-": "-"}


def _toolkit() -> Any:
    try:
        from swmm.toolkit import output, shared_enum
    except ImportError:
        raise ImportError("tarnlet.swmm needs swmm-toolkit: pip install 'tarnlet[swmm]'") from None
    return output, shared_enum


def _open(out_file: str | os.PathLike[str]) -> Any:
    output, enum = _toolkit()
    path = Path(out_file)
    if not path.is_file():
        raise FileNotFoundError(f"no SWMM output file {str(path)!r}")
    with open(path, "rb") as f:  # SWMM's output files begin and end with its magic number
        head = f.read(4)
        f.seek(max(0, path.stat().st_size - 4))
        tail = f.read(4)
    if len(head) < 4 or int.from_bytes(head, "little") != _MAGIC or int.from_bytes(tail, "little") != _MAGIC:
        raise ValueError(f"{str(path)!r} is not a SWMM binary output file (or SWMM did not finish writing it)")
    handle = output.init()
    try:
        output.open(handle, str(path))
    except Exception as e:  # the toolkit's own error class; closing after a failed open would abort
        raise ValueError(f"{str(path)!r} is not a SWMM binary output file that swmm-toolkit reads: {e}") from None
    return output, enum, handle


_ELEMENTS = {"subcatchment": 0, "node": 1, "link": 2}
_MAGIC = 516114522


def _names(output: Any, enum: Any, handle: Any, element: str) -> list[str]:
    counts = output.get_proj_size(handle)
    kind = enum.ElementType(_ELEMENTS[element])
    return [output.get_elem_name(handle, kind, i) for i in range(counts[_ELEMENTS[element]])]


def swmm_names(out_file: str | os.PathLike[str], element: str = "node") -> list[str]:
    """The names of the nodes (links, subcatchments) in a SWMM output file."""
    if element not in _ELEMENTS:
        raise ValueError(f"element must be one of {', '.join(map(repr, _ELEMENTS))}, not {element!r}")
    output, enum, handle = _open(out_file)
    try:
        return _names(output, enum, handle, element)
    finally:
        output.close(handle)


def read_swmm_series(out_file: str | os.PathLike[str], element: str, name: str, attribute: str) -> Any:
    """One result of one element of a SWMM output file, with dates.

    Parameters
    ----------
    out_file : path-like
        SWMM's binary output file (.out).
    element : {"node", "link", "subcatchment"}
    name : str
        The element's name in the SWMM project.
    attribute : str
        A result of that element: for nodes INVERT_DEPTH, HYDRAULIC_HEAD,
        PONDED_VOLUME, LATERAL_INFLOW, TOTAL_INFLOW, FLOODING_LOSSES; for links
        FLOW_RATE, FLOW_DEPTH, FLOW_VELOCITY, FLOW_VOLUME, CAPACITY; for
        subcatchments RAINFALL, SNOW_DEPTH, EVAP_LOSS, INFIL_LOSS, RUNOFF_RATE,
        GW_OUTFLOW_RATE, GW_TABLE_ELEV, SOIL_MOISTURE.

    Returns
    -------
    pandas.Series
        float64 at SWMM's report times (index "time"), flows in m3/d, lengths
        in m, volumes in m3, velocities in m/s, rain and losses in mm/h;
        ``attrs["unit"]`` says which, ``attrs["file_unit"]`` what the file had.

    Raises
    ------
    FileNotFoundError, ValueError
        A missing or unreadable file, an unknown element, name or attribute.
    ImportError
        Without swmm-toolkit.
    """
    import pandas as pd

    if element not in _KINDS:
        raise ValueError(f"element must be one of {', '.join(map(repr, _KINDS))}, not {element!r}")
    kinds = _KINDS[element]
    key = str(attribute).upper()
    if key not in kinds:
        raise ValueError(f"{element} attribute {attribute!r} is not one of {', '.join(kinds)}")
    output, enum, handle = _open(out_file)
    try:
        names = _names(output, enum, handle, element)
        if name not in names:
            close = difflib.get_close_matches(str(name), names, n=3, cutoff=0.5)
            hint = f"; did you mean {' or '.join(map(repr, close))}?" if close else ""
            hint += f" (its {element}s: {', '.join(names[:10])}{', ...' if len(names) > 10 else ''})"
            raise ValueError(f"{out_file}: no {element} named {name!r}{hint}")
        index = names.index(name)
        n = output.get_times(handle, enum.Time.NUM_PERIODS)
        # Report times in days since 1899-12-30 (the first one at the report
        # start, or one report step after the start of the simulation).
        days = np.array(output.get_date_series(handle, 0, n - 1), dtype=np.float64) if n else np.empty(0)
        flags = output.get_units(handle)  # unit system (0 US, 1 SI), flow units, ...
        reader = {"node": (output.get_node_series, enum.NodeAttribute),
                  "link": (output.get_link_series, enum.LinkAttribute),
                  "subcatchment": (output.get_subcatch_series, enum.SubcatchAttribute)}[element]
        values = np.array(reader[0](handle, index, reader[1][key], 0, n - 1), dtype=np.float64) if n else np.empty(0)
    finally:
        output.close(handle)
    kind = kinds[key]
    file_unit = _FLOW_UNITS[flags[1]] if kind == "flow" else _FILE_UNITS[kind][flags[0]]
    ours = _OUR_UNITS[kind]
    values = units.convert(values, file_unit, ours)
    # SWMM's times are whole seconds; the file holds them as days in float.
    times = pd.Timestamp("1899-12-30") + pd.to_timedelta(np.round(days * 86400.0).astype(np.int64), unit="s")
    series = pd.Series(values, index=pd.DatetimeIndex(times, name="time"), name=name)
    series.attrs.update(unit=ours, file_unit=file_unit, attribute=key, element=element)
    return series


def read_swmm_inflow(out_file: str | os.PathLike[str], node: str, attribute: str = "TOTAL_INFLOW") -> Any:
    """A node's inflow from a SWMM output file, in m3/d, with dates.

    Parameters
    ----------
    out_file : path-like
        SWMM's binary output file.
    node : str
        The node's name.
    attribute : str
        "TOTAL_INFLOW" (default), "LATERAL_INFLOW" or "FLOODING_LOSSES".

    Returns
    -------
    pandas.Series
        The flow at SWMM's report times, converted from the project's flow
        units to m3/d.

    Raises
    ------
    ValueError
        An attribute that is not a flow; see :func:`read_swmm_series`.
    """
    if str(attribute).upper() not in ("TOTAL_INFLOW", "LATERAL_INFLOW", "FLOODING_LOSSES"):
        raise ValueError(f"attribute must be a node flow (TOTAL_INFLOW, LATERAL_INFLOW or FLOODING_LOSSES), "
                         f"not {attribute!r}")
    return read_swmm_series(out_file, "node", node, attribute)
