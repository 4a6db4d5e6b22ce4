"""A mutant: one planted fault, as edits of one file's text."""
from __future__ import annotations

import bisect
from dataclasses import dataclass, field


@dataclass(frozen=True)
class Edit:
    start: int  # character offsets into the file's text
    end: int
    text: str


@dataclass
class Mutant:
    file: str  # relative to the repository root, with forward slashes
    rule: str
    edits: tuple[Edit, ...]
    source: str = field(repr=False)
    area: str = ""
    equivalent: str | None = None  # the reason it cannot change behaviour
    ident: int = -1

    def apply(self) -> str:
        """The file's text with the edits made."""
        text = self.source
        for e in sorted(self.edits, key=lambda e: e.start, reverse=True):
            text = text[:e.start] + e.text + text[e.end:]
        return text

    @property
    def span(self) -> tuple[int, int]:
        return min(e.start for e in self.edits), max(e.end for e in self.edits)

    @property
    def line(self) -> int:
        return line_of(self.source, self.span[0])

    @property
    def original(self) -> str:
        """The changed part of the file, as it was (whole lines, stripped)."""
        a, b = self._lines()
        return " ".join(s.strip() for s in self.source[a:b].splitlines())

    @property
    def mutated(self) -> str:
        a, b = self._lines()
        shift = sum(len(e.text) - (e.end - e.start) for e in self.edits)
        return " ".join(s.strip() for s in self.apply()[a:b + shift].splitlines())

    def _lines(self) -> tuple[int, int]:
        start, end = self.span
        a = self.source.rfind("\n", 0, start) + 1
        b = self.source.find("\n", end)
        return a, len(self.source) if b < 0 else b

    def key(self) -> str:
        return f"{self.file}:{self.line}:{self.rule}:{self.original}->{self.mutated}"


def line_of(text: str, offset: int) -> int:
    return text.count("\n", 0, offset) + 1


class LineIndex:
    """Offsets of (line, column) positions; ast columns count UTF-8 bytes."""

    def __init__(self, text: str):
        self.lines = text.splitlines(keepends=True)
        self.starts = [0]
        for line in self.lines:
            self.starts.append(self.starts[-1] + len(line))

    def offset(self, lineno: int, col: int) -> int:
        line = self.lines[lineno - 1] if lineno - 1 < len(self.lines) else ""
        return self.starts[lineno - 1] + len(line.encode()[:col].decode(errors="replace"))

    def line(self, offset: int) -> int:
        return bisect.bisect_right(self.starts, offset)
