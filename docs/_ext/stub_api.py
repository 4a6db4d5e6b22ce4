"""The ``stub-module`` directive: the API reference of a compiled module,
read from its type stub (``tarnlet/**/<module>.pyi``) when the pages are built.

    ```{eval-rst}
    .. stub-module:: tarnlet.brookvane.sewer
    ```

It renders the stub's module docstring, the module constants with their
values (taken from the imported module), every function with its signature
as the stub types it (and its docstring, should the stub carry one), and the
aliases. The compiled functions carry no docstrings of their own; what each
function of the common interface does is said once, in ``ROLES`` below.
"""
from __future__ import annotations

import ast
import importlib
from pathlib import Path
from typing import Any

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective

ROOT = Path(__file__).resolve().parents[2]

ROLES = {
    "initialize_state": "A new state vector: a copy of ``xinit``, which must have ``NSTATES`` entries.",
    "outputs": "The output vector y (``NOUTPUTS`` entries) for the state ``x`` and the input ``u``.",
    "derivatives": "The time derivative dx/dt of the state (``NSTATES`` entries).",
    "euler_step": "One explicit Euler step: ``x + dt * derivatives(...)``, a new state vector. "
                  "It calls the module attribute ``derivatives`` as it finds it at call time.",
    "combine": "The mixed stream: flows added at index 37, every other entry flow-weighted.",
    "compute": "The 54 model values for the loads and flows in ``u``.",
}
CONSTANTS = {
    "NSTATES": "Length of the state vector x and of dx/dt.",
    "NINPUTS": "Length of the input vector u.",
    "NOUTPUTS": "Length of the output vector.",
    "tarnlet.sallowby.combiner.NSTATES": "Length of each stream and of the mixed stream.",
}


def stub_path(module: str) -> Path:
    return ROOT.joinpath(*module.split(".")).with_suffix(".pyi")


def signature(fn: ast.FunctionDef) -> str:
    args = ast.unparse(fn.args)
    returns = f" -> {ast.unparse(fn.returns)}" if fn.returns else ""
    return f"{fn.name}({args}){returns}"


def indent(text: str, prefix: str = "   ") -> list[str]:
    return [prefix + line if line else "" for line in text.splitlines()]


def rst_for(module: str) -> list[str]:
    """The reStructuredText of one module's reference."""
    tree = ast.parse(stub_path(module).read_text(encoding="utf-8"))
    compiled = importlib.import_module(module)
    functions = [n for n in tree.body if isinstance(n, ast.FunctionDef)]
    lines = [f".. py:module:: {module}", ""]
    doc = ast.get_docstring(tree)
    if doc:  # the summary as prose, the vector overview as it is laid out
        summary, _, overview = doc.partition("\n\n")
        lines += [" ".join(summary.split()), ""]
        if overview.strip():
            lines += [".. code-block:: text", "", *indent(overview), ""]
    for node in tree.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            name = node.target.id
            if name in CONSTANTS:
                text = CONSTANTS.get(f"{module}.{name}", CONSTANTS[name])
                lines += [f".. py:data:: {name}", "   :type: int", f"   :value: {getattr(compiled, name)}", "",
                          f"   {text}", ""]
    for fn in functions:
        lines += [f".. py:function:: {signature(fn)}", ""]
        text = ast.get_docstring(fn) or ROLES.get(fn.name, "")
        lines += [*indent(text), ""]
    for node in tree.body:
        if (isinstance(node, ast.Assign) and isinstance(node.value, ast.Name)
                and len(node.targets) == 1 and isinstance(node.targets[0], ast.Name)):
            alias, target = node.targets[0].id, node.value.id
            if any(fn.name == target for fn in functions):
                lines += [f".. py:function:: {alias}", "",
                          f"   The same function object as :py:func:`{module}.{target}`.", ""]
    return lines


class StubModule(SphinxDirective):
    required_arguments = 1
    has_content = False

    def run(self) -> list[nodes.Node]:
        module = self.arguments[0]
        path = stub_path(module)
        if not path.is_file():
            raise self.error(f"stub-module: no stub {path.relative_to(ROOT)} for {module}")
        self.env.note_dependency(str(path))
        container = nodes.container()
        self.state.nested_parse(StringList(rst_for(module), source=str(path)), self.content_offset, container)
        return list(container.children)


def setup(app: Sphinx) -> dict[str, Any]:
    app.add_directive("stub-module", StubModule)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
