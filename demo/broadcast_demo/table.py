"""The demo's terminal output: styles, the events table and its cells, a client's lines."""
from __future__ import annotations

__all__ = ["Style", "Reporter", "client_lines", "describe_body"]

COL = 12
"""Width of a client's column in the events table."""


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


class Reporter:
    """The events table: one column per client, named ``names``."""

    def __init__(self, style: Style, names):
        self.s = style
        self.names = list(names)

    def line(self, text=""):
        print(text.rstrip(), flush=True)

    def header(self):
        names = "".join(f"  {name:<{COL}}" for name in self.names)
        self.line(self.s.bold(f"{'seq':<4}  {'event':<22} {'subs':>4}{names}"))
        self.line(self.s.dim("-" * (4 + 2 + 22 + 1 + 4 + len(self.names) * (COL + 2))))

    def cell(self, outcome):
        kind, detail = outcome
        s = self.s
        if kind == "got":
            plain = f"{s.ok} {detail}"
            return pad(s.green(plain), plain, COL)
        if kind == "skip":
            detail = {"before start": "pre-start"}.get(detail, detail)
            plain = f"{s.dash} {detail}" if detail else s.dash
            return pad(s.dim(plain), plain, COL)
        if kind == "acl":
            plain = f"{s.no} ACL"
            return pad(s.red(plain), plain, COL)
        if kind == "closed":
            return pad(s.yellow("closed"), "closed", COL)
        plain = f"!! {detail}"
        return pad(s.red(s.bold(plain)), plain, COL)

    def row(self, seq, doc, op, subs, outcomes):
        event = f"{op} {doc.label}"
        cells = "".join(f"  {self.cell(o)}" for o in outcomes)
        self.line(f"{seq:<4}  {event:<22} {subs:>4}{cells}")


def describe_body(body, doc):
    hidden = any(k in doc.hidden for k in body)
    return f"{len(body)} field{'s' if len(body) != 1 else ''}{'*' if hidden else ''}"


def client_lines(style, client, status: str) -> list[str]:
    """A client's lines in the Clients table: its key, what it subscribes to and `status`, then
    its note if it has one."""
    what = ", ".join(sub["doc_class"] + (f"{sub['data_scope']}" if sub.get("data_scope") else "")
                     for sub in client.subscriptions)
    lines = [f"  {client.name:<10} {client.api_key:<14} {what:<28} {status}"]
    if client.note:
        lines.append(style.dim(f"  {'':<10} {client.note}"))
    return lines
