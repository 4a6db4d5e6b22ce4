"""Mutation sites in Python sources, found with the ast module.

Every mutant replaces the exact source span of a node (ast positions count
UTF-8 bytes; LineIndex turns them into character offsets). Annotations and
`if TYPE_CHECKING:` blocks never run and are left alone; docstrings and
comments are not nodes that any rule takes.
"""
from __future__ import annotations

import ast
import re

from .mutant import Edit, LineIndex, Mutant

_ATOMS = (ast.Name, ast.Constant, ast.Attribute, ast.Call, ast.Subscript, ast.List, ast.Tuple, ast.Dict)
_COMPARE = {ast.Lt: (r"<(?!=)", "<="), ast.LtE: (r"<=", "<"), ast.Gt: (r">(?!=)", ">="),
            ast.GtE: (r">=", ">"), ast.Eq: (r"==", "!="), ast.NotEq: (r"!=", "=="),
            ast.Is: (r"\bis\b(?!\s+not\b)", "is not"), ast.IsNot: (r"\bis\s+not\b", "is"),
            ast.In: (r"(?<!not )\bin\b", "not in"), ast.NotIn: (r"\bnot\s+in\b", "in")}


def _inert(tree: ast.AST) -> set[int]:
    """ids of the nodes that never run: annotations and TYPE_CHECKING blocks."""
    skip: set[int] = set()

    def mark(node):
        if node is not None:
            skip.update(id(n) for n in ast.walk(node))

    for node in ast.walk(tree):
        if isinstance(node, ast.arg):
            mark(node.annotation)
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            mark(node.returns)
        elif isinstance(node, ast.AnnAssign):
            mark(node.annotation)
        elif isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test):
            for n in node.body:
                mark(n)
    return skip


def _new_number(value):
    if isinstance(value, int):
        return {0: 1, 1: 0}.get(value, value + 1)
    return {0.0: 1.0, 1.0: 0.0}.get(value, value + 1.0)


def sites(path: str, text: str, layout_tables: bool = False) -> list[Mutant]:
    tree = ast.parse(text)
    idx = LineIndex(text)
    skip = _inert(tree)
    out: list[Mutant] = []

    def span(node):
        return idx.offset(node.lineno, node.col_offset), idx.offset(node.end_lineno, node.end_col_offset)

    def seg(node):
        a, b = span(node)
        s = text[a:b]
        return s if isinstance(node, _ATOMS) or (s.startswith("(") and s.endswith(")")) else f"({s})"

    def add(rule, node, new):
        a, b = span(node)
        out.append(Mutant(path, rule, (Edit(a, b, new),), text))

    for node in ast.walk(tree):
        if id(node) in skip:
            continue
        if isinstance(node, ast.BinOp):
            ops = {ast.Sub: "-", ast.Div: "/", ast.FloorDiv: "//"}
            if type(node.op) in ops:
                add("swap", node, f"{seg(node.right)} {ops[type(node.op)]} {seg(node.left)}")
            if isinstance(node.op, ast.Mult) and isinstance(node.right, ast.BinOp) and isinstance(
                    node.right.op, ast.Div):
                r = node.right
                add("reassociate", node, f"({seg(node.left)} * {seg(r.left)}) / {seg(r.right)}")
            if isinstance(node.op, ast.Div) and isinstance(node.left, ast.BinOp) and isinstance(
                    node.left.op, ast.Mult):
                lf = node.left
                add("reassociate", node, f"{seg(lf.left)} * ({seg(lf.right)} / {seg(node.right)})")
        elif isinstance(node, ast.Compare):
            left = node.left
            for op, right in zip(node.ops, node.comparators):
                pattern, new = _COMPARE[type(op)]
                a, b = span(left)[1], span(right)[0]
                gap = re.sub(r"#[^\n]*", lambda m: " " * len(m.group()), text[a:b])
                m = re.search(pattern, gap)
                if m:
                    out.append(Mutant(path, "compare", (Edit(a + m.start(), a + m.end(), new),), text))
                left = right
        elif isinstance(node, ast.Constant) and type(node.value) in (int, float):
            add("constant", node, repr(_new_number(node.value)))
        elif isinstance(node, ast.If) and not node.orelse and len(node.body) == 1 and isinstance(
                node.body[0], (ast.Return, ast.Raise)):
            a, _ = span(node)
            if text.startswith("if", a):  # not an elif
                add("drop-check", node, "pass")
        elif isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id == "range" and (
                1 <= len(node.args) <= 3 and not node.keywords):
            stop = node.args[0 if len(node.args) == 1 else 1]
            add("loop-bound", stop, f"{seg(stop)} - 1")
        elif layout_tables and isinstance(node, ast.List):
            out += _layout_rows(path, text, node, span)
    return out


def _layout_rows(path, text, node, span) -> list[Mutant]:
    """Rows (name, unit, ...) of a layout table: a name swapped with the next
    row's, a unit replaced by the next other unit of the table."""
    rows = [e for e in node.elts if isinstance(e, ast.Tuple) and len(e.elts) >= 3 and all(
        isinstance(x, ast.Constant) and isinstance(x.value, str) for x in e.elts[:2])]
    out = []
    for k, row in enumerate(rows):
        name, unit = row.elts[0], row.elts[1]
        if k + 1 < len(rows) and rows[k + 1].elts[0].value != name.value:
            other = rows[k + 1].elts[0]
            (a, b), (c, d) = span(name), span(other)
            out.append(Mutant(path, "layout-name", (Edit(a, b, text[c:d]), Edit(c, d, text[a:b])), text))
        units = [r.elts[1] for r in rows[k + 1:] + rows[:k] if r.elts[1].value != unit.value]
        if units:
            a, b = span(unit)
            c, d = span(units[0])
            out.append(Mutant(path, "layout-unit", (Edit(a, b, text[c:d]),), text))
    return out


def _innermost(tree: ast.AST, line: int) -> ast.AST:
    """The innermost statement that holds the line (the module if none)."""
    node, found = tree, True
    while found:
        found = False
        for name in ("body", "orelse", "finalbody", "handlers", "cases"):
            for child in getattr(node, name, None) or []:
                if isinstance(child, ast.AST) and hasattr(child, "lineno") and (
                        child.lineno <= line <= child.end_lineno):
                    node, found = child, True
                    break
            if found:
                break
    return node


def same_program(before: str, after: ast.AST, line: int = 1, cache: dict | None = None) -> bool:
    """Whether a changed source, parsed, is the same tree as before (a change
    in a comment, say): the statements that hold the changed line are compared."""
    cache = {} if cache is None else cache
    if before not in cache:
        cache.clear()
        cache[before] = ast.parse(before)
    return ast.dump(_innermost(after, line)) == ast.dump(_innermost(cache[before], line))


def parsed(text: str) -> ast.AST | None:
    """The syntax tree of a source, or None where it does not parse."""
    try:
        return ast.parse(text)
    except SyntaxError:
        return None


def inert_spans(text: str) -> list[tuple[int, int]]:
    """Where comments and docstrings stand."""
    import io
    import tokenize

    idx = LineIndex(text)
    spans = []
    for tok in tokenize.generate_tokens(io.StringIO(text).readline):
        if tok.type == tokenize.COMMENT:
            (l1, c1), (l2, c2) = tok.start, tok.end  # columns in characters here
            spans.append((idx.starts[l1 - 1] + c1, idx.starts[l2 - 1] + c2))
    for node in ast.walk(ast.parse(text)):
        if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)) and node.body:
            first = node.body[0]
            if isinstance(first, ast.Expr) and isinstance(first.value, ast.Constant) and isinstance(
                    first.value.value, str):
                v = first.value
                spans.append((idx.offset(v.lineno, v.col_offset), idx.offset(v.end_lineno, v.end_col_offset)))
    return spans
