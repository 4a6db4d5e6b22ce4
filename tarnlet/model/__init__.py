"""Models: a catchment described by named blocks and connections, checked
before it runs, and run in one compiled call.

    from tarnlet.model import Model, Linear

    m = Model(dt=1 / 1440)
    m.source("rain", u_soil, layout=LOAMTANK.u)
    m.block("loamtank", "soil", u="rain", par=SOIL_PAR, x0=[0.0205])
    ...
    result = m.run(record=["soil.y.h", "chain[3].y.Q"], every=15)
    result.table()

See :class:`Model` for the nodes and their addresses, :mod:`.expr` for the
arithmetic of adapters, :mod:`.steady` for steady states and stable steps,
:mod:`.results` for what a run returns and :mod:`.ensemble` for scenarios.
"""
from tarnlet.model._model import Address, Model, ModelError
from tarnlet.model.expr import Linear
from tarnlet.model.results import ModelResult, ModelState

__all__ = ["Model", "ModelError", "Address", "Linear", "ModelResult", "ModelState"]
