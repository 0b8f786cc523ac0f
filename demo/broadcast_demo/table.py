"""The demo's terminal output: styles, the events table and its cells, a client's lines, all
fitted to the terminal's width (80 columns when it cannot be told, as in a pipe). On a terminal
the events table is redrawn in place, its header kept in sight (:class:`Region`)."""
from __future__ import annotations

import dataclasses
import shutil
import sys
import textwrap
from typing import TextIO

__all__ = ["Style", "Got", "Region", "Reporter", "client_lines", "describe_body",
           "terminal_width", "wrap"]

COL = 12
"""Width of a client's column in the events table, when the terminal is wide enough."""

NARROWEST = 5
"""The narrowest a client's column gets, however narrow the terminal."""


def terminal_width() -> int:
    return shutil.get_terminal_size((80, 24)).columns


class Region:
    """Lines printed as they come, or, on a terminal (``live``), redrawn in place: the first
    ``keep`` of them (the table's header) always, then as many of the latest as the terminal's
    height leaves room for. Each line must fit the terminal's width. :meth:`close` prints the
    whole of it once more when some lines were out of sight, so that it is all in the terminal's
    scrollback."""

    def __init__(self, live: bool, height: int | None = None, out: TextIO | None = None):
        self.live = live
        self.height = height or shutil.get_terminal_size((80, 24)).lines
        self.out = out or sys.stdout
        self.lines: list[str] = []
        self.keep = 0
        self.drawn = 0  # lines on the screen, above the cursor, from the last draw

    def add(self, text: str) -> None:
        text = text.rstrip()
        if not self.live:
            print(text, file=self.out, flush=True)
            return
        self.lines.append(text)
        self._draw(self.visible())

    def visible(self) -> list[str]:
        """What the screen shows: the kept lines and the latest that fit under them (one line
        is left for the cursor)."""
        room = max(self.height - 1, self.keep + 1)
        if len(self.lines) <= room:
            return self.lines
        return self.lines[:self.keep] + self.lines[len(self.lines) - (room - self.keep):]

    def close(self) -> None:
        if self.live and len(self.visible()) < len(self.lines):
            self._draw(self.lines)
        self.live, self.lines, self.drawn = False, [], 0

    def _draw(self, lines: list[str]) -> None:
        up = f"\033[{self.drawn}F" if self.drawn else ""  # to the first line drawn last time
        self.out.write(up + "".join(f"\033[2K{line}\n" for line in lines) + "\033[J")
        self.out.flush()
        self.drawn = len(lines)


def wrap(text: str, width: int, indent: int = 4) -> list[str]:
    """``text`` (plain, unstyled) in lines of at most ``width``; the lines after the first
    indented by ``indent``."""
    return textwrap.wrap(text, width, subsequent_indent=" " * indent,
                         break_on_hyphens=False) or [""]


class Style:
    def __init__(self, color: bool, unicode: bool):
        self.color = color
        self.ok, self.no, self.dash = ("✓", "✗", "·") if unicode else ("+", "x", ".")

    def __call__(self, text, code):
        return f"\033[{code}m{text}\033[0m" if self.color else text

    def green(self, t): return self(t, "32")
    def red(self, t): return self(t, "31")
    def yellow(self, t): return self(t, "33")
    def dim(self, t): return self(t, "2")
    def bold(self, t): return self(t, "1")


def pad(text, plain, width):
    """Left-justify styled ``text`` whose visible form is ``plain``."""
    return text + " " * max(0, width - len(plain))


@dataclasses.dataclass(frozen=True)
class Got:
    """What a client received of one event, as its cell shows it."""

    fields: int
    hidden: bool  # some of them are hidden fields
    caught_up: bool = False  # it came from a node's backlog, after the client moved


class Reporter:
    """The events table: one column per client, named ``names`` (``client@node`` for the nodes
    demo), as wide as the terminal allows.

    Wide enough, each cell says it in words ("✓ 8 fields*"); narrower (80 columns), in short
    ("✓ 8f*"), with the columns as narrow as the names allow.
    """

    def __init__(self, style: Style, names, width: int | None = None,
                 region: Region | None = None):
        self.s = style
        self.names = list(names)
        self.width = width or terminal_width()
        self.event_width = 22
        self.col, self.gap, self.short = COL, 2, False
        self.region = region or Region(live=False)

    def line(self, text=""):
        self.region.add(text)

    def fit(self, events) -> None:
        """Size the columns for ``events`` (document, op, seq) and the terminal's width."""
        self.event_width = max(len(self._event(doc, op)) for doc, op, _ in events)
        n = len(self.names) or 1
        # seq, a space, the event, the subs count right-aligned in 4 (its own gap)
        fixed = 4 + 1 + self.event_width + 4
        if fixed + n * (2 + COL) <= self.width:
            self.col, self.gap, self.short = COL, 2, False
        else:
            self.col = max(NARROWEST, min(COL, (self.width - fixed) // n - 1))
            self.gap, self.short = 1, True

    def legend(self, extra: str) -> list[str]:
        """What the marks mean, in lines that fit."""
        s = self.s
        got = (f"{s.ok} 8f: received, 8 fields (* with hidden ones)" if self.short
               else f"{s.ok} n fields: received, * with hidden fields")
        return [s.dim(line) for line in wrap(f"  {got}; {extra}", self.width, 2)]

    def header(self):
        sep = " " * self.gap
        # "client@node" goes on two lines when it does not fit its column
        split = [name.partition("@") for name in self.names]
        two = any(len(name) > self.col for name in self.names) and any(at for _, at, _ in split)
        first = [name if not two else head for name, (head, _, _) in zip(self.names, split)]
        cells = "".join(f"{sep}{name[:self.col]:<{self.col}}" for name in first)
        self.line(self.s.bold(f"{'seq':<4} {'event':<{self.event_width}}{'subs':>4}{cells}"))
        if two:
            nodes = "".join(f"{sep}{(at + node)[:self.col]:<{self.col}}" for _, at, node in split)
            self.line(self.s.bold(" " * (4 + 1 + self.event_width + 4) + nodes))
        self.line(self.s.dim("-" * (4 + 1 + self.event_width + 4
                                    + len(self.names) * (self.gap + self.col))))
        self.region.keep = len(self.region.lines)  # on a terminal the header stays in sight

    def cell(self, outcome):
        kind, detail = outcome
        s, short = self.s, self.short
        if kind == "got":
            mark = "*" if detail.hidden else ""
            fields = f"{detail.fields}f" if short else f"{detail.fields} fields"
            plain = f"{s.ok} {fields}{mark}" + (" ~" if detail.caught_up else "")
            return self._fit(s.green, plain)
        if kind == "skip":
            detail = {"before start": "before" if short else "pre-start"}.get(detail, detail)
            plain = f"{s.dash} {detail}" if detail else s.dash
            return self._fit(s.dim, plain)
        if kind == "acl":
            return self._fit(s.red, f"{s.no} ACL")
        if kind == "closed":
            return self._fit(s.yellow, "closed")
        return self._fit(lambda t: s.red(s.bold(t)), f"!! {detail}")

    def _fit(self, paint, plain):
        plain = plain[:self.col]
        return pad(paint(plain), plain, self.col)

    @staticmethod
    def _event(doc, op):
        return f"{op} {doc.label}"

    def row(self, seq, doc, op, subs, outcomes):
        sep = " " * self.gap
        cells = "".join(f"{sep}{self.cell(o)}" for o in outcomes)
        self.line(f"{seq:<4} {self._event(doc, op):<{self.event_width}}{subs:>4}{cells}")


def describe_body(body, doc) -> Got:
    return Got(len(body), any(k in doc.hidden for k in body))


def client_lines(style, client, status: str, plain_status: str, detail: str = "",
                 width: int = 80) -> list[str]:
    """A client's lines in the Clients table: its key, what it subscribes to and ``status``
    (styled; ``plain_status`` is what shows of it), then ``detail`` and the client's note,
    each wrapped to ``width``."""
    what = ", ".join(sub["doc_class"] + (f"{sub['data_scope']}" if sub.get("data_scope") else "")
                     for sub in client.subscriptions)
    head = f"  {client.name:<10} {client.api_key:<14} {what:<28} "
    lines = []
    if detail and len(head) + len(plain_status) + 2 + len(detail) <= width:
        lines.append(head + status + style.red(": " + detail))
    else:
        lines.append(head + status)
        lines += [style.red(line) for line in wrap(" " * 13 + detail, width, 13)] if detail else []
    if client.note:
        lines += [style.dim(line) for line in wrap(f"{'':<12} {client.note}", width, 13)]
    return lines
