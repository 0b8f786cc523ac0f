"""The demo as a newcomer starts it: its help, a busy port, and the scripted run's verdict."""
import os
import pathlib
import socket
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def demo(*args, timeout=120):
    env = dict(os.environ, NO_COLOR="1", COLUMNS="80")
    return subprocess.run([sys.executable, "-m", "broadcast_demo", *args], cwd=ROOT,
                          env=env, capture_output=True, text=True, timeout=timeout)


@pytest.fixture
def busy_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        s.listen()
        yield s.getsockname()[1]


def test_help_names_the_command():
    proc = demo("--help")
    assert proc.returncode == 0 and proc.stdout.startswith("usage: run-demo ")


def test_busy_port_is_one_line_with_a_hint_and_status_2(busy_port):
    proc = demo("--port", str(busy_port), "--serve")
    assert proc.returncode == 2
    assert proc.stderr.splitlines() == [
        f"run-demo: port {busy_port} on 127.0.0.1 is already in use; choose another with"
        " --port PORT (--port 0 takes any free port)"]


def test_scripted_run_ends_with_every_client_served():
    proc = demo("--delay", "0")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "every client got exactly what its subscription allows" in proc.stdout
    assert max(map(len, proc.stdout.splitlines())) <= 80  # an 80-column terminal's width


def test_on_a_terminal_the_table_keeps_its_header_in_sight_and_ends_whole():
    import io
    from broadcast_demo.table import Region
    out = io.StringIO()
    region = Region(live=True, height=6, out=out)
    for line in ("seq event", "---------"):
        region.add(line)
    region.keep = 2
    for n in range(1, 8):
        region.add(f"000{n}")
    # Five lines fit above the cursor: the header, then the latest rows.
    assert region.visible() == ["seq event", "---------", "0005", "0006", "0007"]
    assert out.getvalue().endswith("\033[5F" + "".join(f"\033[2K{line}\n" for line in
                                                       region.visible()) + "\033[J")
    region.close()  # drawn whole once more, for the scrollback
    assert out.getvalue().endswith("".join(f"\033[2K{line}\n" for line in
                                           ["seq event", "---------"]
                                           + [f"000{n}" for n in range(1, 8)]) + "\033[J")
    plain = io.StringIO()
    piped = Region(live=False, out=plain)
    piped.add("0001  ")
    assert plain.getvalue() == "0001\n"
