"""Compiled dynamic building blocks for simulating the wastewater that reaches a treatment plant.

Sub-packages: ``brookvane`` (sewer storage, soil reservoir), ``fenmoor``
(first-flush block) and ``sallowby`` (influent fractionation, stream combiner).
"""
