"""Mutation sites in C++ sources, found over a token stream.

The lexer sets comments, string and character literals and preprocessor
lines apart; only the remaining code tokens are ever changed. Operands are
"primaries": a name (with ``::``, ``.``, ``->``, calls and indexing after
it), a number or a parenthesised group. A rule fires only where the
neighbouring tokens show the operator binds exactly those operands.
"""
from __future__ import annotations

import re
from dataclasses import dataclass

from .mutant import Edit, Mutant

_TOKEN = re.compile(r"""
 (?P<ws>\s+)
|(?P<comment>//[^\n]*|/\*[\s\S]*?\*/)
|(?P<pp>\#(?:\\\n|[^\n])*)
|(?P<raw>(?:u8|u|U|L)?R"(?P<delim>[^(\s"]*)\([\s\S]*?\)(?P=delim)")
|(?P<string>(?:u8|u|U|L)?"(?:\\.|[^"\\\n])*")
|(?P<char>(?:u8|u|U|L)?'(?:\\.|[^'\\\n])*')
|(?P<number>0[xX][0-9a-fA-F']+[uUlL]*|(?:\d[\d']*\.?[\d']*|\.\d[\d']*)(?:[eE][+-]?\d+)?[a-zA-Z_]*)
|(?P<ident>[A-Za-z_]\w*)
|(?P<op>->\*?|<=>|<<=|>>=|\+\+|--|<<|>>|<=|>=|==|!=|&&|\|\||::|[-+*/%&|^]=|\.\.\.|[-+*/%<>=!&|^~?:;,.(){}\[\]])
""", re.X)

KEYWORDS = frozenset("""
alignas alignof auto bool break case catch char class const consteval constexpr constinit continue
co_await co_return decltype default delete do double else enum explicit extern false float for friend
goto if inline int long mutable namespace new noexcept nullptr operator private protected public
return short signed static static_assert static_cast reinterpret_cast const_cast dynamic_cast
struct switch template this throw true try typedef typename union unsigned using virtual void
volatile while
""".split())

ADD_LEFT = frozenset("( [ { , ; = ? : return && || == != += -= *= /= |= &=".split())
ADD_RIGHT = frozenset(") ] } , ; ? : + - && || == != <= >=".split())
MUL_LEFT = ADD_LEFT | {"+", "-"}
COMPARE = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}


@dataclass(frozen=True)
class Token:
    kind: str
    text: str
    start: int
    end: int


def tokens(text: str) -> list[Token]:
    """Every token of the text, comments, literals and preprocessor lines included."""
    out, pos = [], 0
    while pos < len(text):
        m = _TOKEN.match(text, pos)
        if m is None:  # a stray character: taken as an operator of its own
            out.append(Token("op", text[pos], pos, pos + 1))
            pos += 1
            continue
        kind = m.lastgroup if m.lastgroup != "delim" else "raw"
        if kind != "ws":
            out.append(Token("string" if kind in ("raw", "char") else kind, m.group(), m.start(), m.end()))
        pos = m.end()
    return out


def code_tokens(text: str) -> list[Token]:
    return [t for t in tokens(text) if t.kind in ("ident", "number", "op")]


def inert_spans(text: str) -> list[tuple[int, int]]:
    """Where comments, literals and preprocessor lines stand."""
    return [(t.start, t.end) for t in tokens(text) if t.kind in ("comment", "string", "pp")]


class _Stream:
    def __init__(self, text: str):
        self.text = text
        self.t = code_tokens(text)
        self.match = self._pairs()
        self.templates = self._templates()

    def _pairs(self) -> dict[int, int]:
        pairs, stack = {}, []
        for i, tok in enumerate(self.t):
            if tok.text in "([{" and len(tok.text) == 1:
                stack.append(i)
            elif tok.text in ")]}" and len(tok.text) == 1 and stack:
                j = stack.pop()
                pairs[i], pairs[j] = j, i
        return pairs

    def _templates(self) -> set[int]:
        """Indices of the angle brackets of template argument lists."""
        marks, t = set(), self.t
        for i, tok in enumerate(t):
            if tok.text != "<" or i == 0 or t[i - 1].kind != "ident":
                continue
            depth, j = 1, i + 1
            while j < len(t) and depth:
                s = t[j].text
                if s == "<":
                    depth += 1
                elif s == ">":
                    depth -= 1
                elif s == ">>":
                    depth -= 2
                elif not (t[j].kind in ("ident", "number") or s in ("::", ",", "*", "&", "+", "-")):
                    break
                j += 1
            if depth <= 0:
                marks.update((i, j - 1))
        return marks

    def text_of(self, i: int, j: int) -> str:
        """The source text of tokens i..j-1."""
        return self.text[self.t[i].start:self.t[j - 1].end]

    def primary(self, tok: Token) -> bool:
        return tok.kind == "number" or (tok.kind == "ident" and (tok.text not in KEYWORDS or tok.text in (
            "sizeof", "true", "false", "nullptr", "this")))

    def operand_end(self, i: int) -> int | None:
        """The index after the operand that starts at token i."""
        t, n = self.t, len(self.t)
        if i >= n:
            return None
        if t[i].text == "(" and i in self.match:
            j = self.match[i] + 1
        elif self.primary(t[i]):
            j = i + 1
            while j + 1 < n and t[j].text == "::" and t[j + 1].kind == "ident":
                j += 2
        else:
            return None
        while j < n:
            if t[j].text in ("(", "[") and j in self.match:
                j = self.match[j] + 1
            elif t[j].text in (".", "->") and j + 1 < n and t[j + 1].kind == "ident":
                j += 2
            else:
                break
        return j

    def operand_start(self, k: int) -> int | None:
        """The first index of the operand whose last token is k."""
        t, j = self.t, k
        while j >= 0:
            if t[j].text in (")", "]") and j in self.match:
                j = self.match[j]
                if j > 0 and (self.primary(t[j - 1]) or t[j - 1].text in (")", "]")):
                    j -= 1
                    continue
                return j
            if self.primary(t[j]):
                if j >= 2 and t[j - 1].text in (".", "->", "::"):
                    j -= 2
                    continue
                return j
            return None
        return None

    def binary(self, i: int, left: frozenset, right: frozenset | None):
        """(a, b, c, d): the operands of the operator at i are tokens a..b-1
        and c..d-1, when the context shows it binds them."""
        if i == 0 or self.t[i - 1].text == "operator":
            return None
        a = self.operand_start(i - 1)
        d = self.operand_end(i + 1)
        if a is None or d is None or a == 0:
            return None
        if self.t[a - 1].text not in left:
            return None
        if d < len(self.t) and right is not None and self.t[d].text not in right:
            return None
        if d < len(self.t) and self.t[d].text in ("(", "[", "{", "<") or self.t[a - 1].text == ">":
            return None
        return a, i, i + 1, d


def _mutant(path: str, text: str, rule: str, *edits: Edit, equivalent: str | None = None) -> Mutant:
    return Mutant(path, rule, tuple(edits), text, equivalent=equivalent)


def _number(text: str) -> str | None:
    m = re.fullmatch(r"([\d.eE+\-']+)([a-zA-Z]*)", text)
    if m is None:
        return None
    body, suffix = m.groups()
    if re.fullmatch(r"\d+", body):
        value = int(body)
        return str({0: 1, 1: 0}.get(value, value + 1)) + suffix
    try:
        value = float(body.replace("'", ""))
    except ValueError:
        return None
    new = {0.0: 1.0, 1.0: 0.0}.get(value, value + 1.0)
    return repr(new) + suffix


def sites(path: str, text: str, commutative: bool = False) -> list[Mutant]:
    """Every mutant of one C++ source. `commutative` adds the swaps of + and
    * (listed as equivalent, never run)."""
    s = _Stream(text)
    t, out = s.t, []
    for i, tok in enumerate(t):
        op = tok.text
        if tok.kind == "op" and op in ("-", "/") or commutative and tok.kind == "op" and op in ("+", "*"):
            ctx = s.binary(i, ADD_LEFT if op in "+-" else MUL_LEFT, ADD_RIGHT if op in "+-" else None)
            if ctx:
                a, b, c, d = ctx
                new = f"{s.text_of(c, d)} {op} {s.text_of(a, b)}"
                reason = None
                if op in "+*":
                    reason = ("exactly commutative in IEEE arithmetic (a NaN payload aside: both "
                              "operands NaN)")
                out.append(_mutant(path, text, "swap", Edit(t[a].start, t[d - 1].end, new), equivalent=reason))
        if tok.kind == "op" and op in ("*", "+"):
            out += _reassociations(s, path, text, i)
        if tok.kind == "op" and op in COMPARE and i not in s.templates and i > 0 and (
                s.primary(t[i - 1]) or t[i - 1].text in (")", "]")) and t[i - 1].text != "operator":
            out.append(_mutant(path, text, "compare", Edit(tok.start, tok.end, COMPARE[op])))
        if tok.kind == "number" and not (i > 0 and t[i - 1].text in ("[",) and i + 1 < len(t)
                                         and t[i + 1].text == "]" and _declares(s, i)):
            new = _number(op)
            if new is not None:
                out.append(_mutant(path, text, "constant", Edit(tok.start, tok.end, new)))
        if tok.text == "if":
            m = _drop_check(s, path, text, i)
            if m:
                out.append(m)
        if tok.text == "for":
            m = _loop_bound(s, path, text, i)
            if m:
                out.append(m)
    return out


def _declares(s: _Stream, i: int) -> bool:
    """A number in brackets after a name that a type precedes: an array's length."""
    j = i - 2
    return j >= 1 and s.t[j].kind == "ident" and (s.t[j - 1].kind == "ident" or s.t[j - 1].text in ("*", "&"))


def _reassociations(s: _Stream, path: str, text: str, i: int) -> list[Mutant]:
    """a * (b / c) -> (a * b) / c; (a * b) / c -> a * (b / c); a + b + c -> a + (b + c)."""
    t, out = s.t, []
    op = t[i].text
    if op == "*" and i + 1 < len(t) and t[i + 1].text == "(":
        a = s.operand_start(i - 1)
        close = s.match.get(i + 1)
        if a and close and t[a - 1].text in MUL_LEFT:
            b_end = s.operand_end(i + 2)
            if b_end and b_end < close and t[b_end].text == "/" and s.operand_end(b_end + 1) == close:
                new = f"({s.text_of(a, i)} * {s.text_of(i + 2, b_end)}) / {s.text_of(b_end + 1, close)}"
                out.append(_mutant(path, text, "reassociate", Edit(t[a].start, t[close].end, new)))
    if op == "*" and i > 0 and t[i - 1].text != ")":
        a = s.operand_start(i - 1)
        if a and t[a - 1].text == "(" and a - 1 > 0 and not s.primary(t[a - 2]):
            close = s.match.get(a - 1)
            b_end = s.operand_end(i + 1)
            if close and b_end == close and close + 1 < len(t) and t[close + 1].text == "/":
                c_end = s.operand_end(close + 2)
                if c_end and (c_end >= len(t) or t[c_end].text not in ("(", "[")):
                    new = f"{s.text_of(a, i)} * ({s.text_of(i + 1, close)} / {s.text_of(close + 2, c_end)})"
                    out.append(_mutant(path, text, "reassociate", Edit(t[a - 1].start, t[c_end - 1].end, new)))
    if op in ("+", "*"):
        ctx = s.binary(i, ADD_LEFT if op == "+" else MUL_LEFT, None)
        if ctx:
            a, _, c, d = ctx
            if d < len(t) and t[d].text == op:
                e = s.operand_end(d + 1)
                right = ADD_RIGHT - {"+", "-"} if op == "+" else ADD_RIGHT
                if e and (e >= len(t) or t[e].text in right):
                    new = f"{s.text_of(a, i)} {op} ({s.text_of(c, d)} {op} {s.text_of(d + 1, e)})"
                    out.append(_mutant(path, text, "reassociate", Edit(t[a].start, t[e - 1].end, new)))
    return out


def _statement_end(s: _Stream, j: int) -> int | None:
    """The index of the ';' that ends the statement starting at j."""
    t = s.t
    while j < len(t):
        if t[j].text in ("(", "[", "{") and j in s.match:
            j = s.match[j] + 1
            continue
        if t[j].text == ";":
            return j
        if t[j].text == "}":
            return None
        j += 1
    return None


def _drop_check(s: _Stream, path: str, text: str, i: int) -> Mutant | None:
    """if (...) return ...; / if (...) throw ...; / if (...) { return ...; }: deleted."""
    t = s.t
    if i + 1 >= len(t) or t[i + 1].text != "(" or (i > 0 and t[i - 1].text == "else"):
        return None
    close = s.match.get(i + 1)
    if close is None or close + 1 >= len(t):
        return None
    j = close + 1
    braced = t[j].text == "{"
    if braced:
        j += 1
    if t[j].text not in ("return", "throw"):
        return None
    end = _statement_end(s, j)
    if end is None:
        return None
    if braced:
        if end + 1 >= len(t) or t[end + 1].text != "}":
            return None
        end += 1
    if end + 1 < len(t) and t[end + 1].text == "else":
        return None
    return _mutant(path, text, "drop-check", Edit(t[i].start, t[end].end, ""))


def _loop_bound(s: _Stream, path: str, text: str, i: int) -> Mutant | None:
    """for (...; i < n; ...) -> for (...; i < n - 1; ...)."""
    t = s.t
    if i + 1 >= len(t) or t[i + 1].text != "(":
        return None
    close = s.match.get(i + 1)
    semis = [j for j in range(i + 2, close or i) if t[j].text == ";"]
    if close is None or len(semis) != 2:
        return None
    cond = [j for j in range(semis[0] + 1, semis[1]) if t[j].text in ("<", "<=", "!=")]
    if len(cond) != 1 or cond[0] in s.templates:
        return None
    first, last = cond[0] + 1, semis[1]
    if first >= last:
        return None
    bound = s.text_of(first, last)
    new = f"{bound} - 1" if last - first == 1 or s.operand_end(first) == last else f"({bound}) - 1"
    return _mutant(path, text, "loop-bound", Edit(t[first].start, t[last - 1].end, new))
