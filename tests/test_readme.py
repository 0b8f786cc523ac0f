"""The README's Python examples run as written: from the repository root, with the engine stand-in
on the path, each in an interpreter of its own, and exit 0."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text(encoding="utf-8")
BLOCKS = re.findall(r"^```python\n(.*?)^```", README, flags=re.S | re.M)


def test_readme_has_python_examples():
    assert len(BLOCKS) >= 4


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{n}" for n in range(1, len(BLOCKS) + 1)])
def test_readme_example_runs(code):
    env = dict(os.environ, PYTHONPATH="engine_standin")
    proc = subprocess.run([sys.executable, "-c", code], cwd=ROOT, env=env, capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr


def test_readme_tables_are_the_declared_ones():
    """The settings table is the one the declarations give, and the refusals' labels are the
    enum's: a new setting or reason cannot be left out of the README."""
    from broadcast_server import config
    from broadcast_server.errors import Refusal
    table = config.settings_table()
    assert table in README, "paste `python -m broadcast_server.config` into the README:\n" + table
    (row,) = re.findall(r"^\| `broadcast_refusals_total\{reason\}` \|.*$", README, flags=re.M)
    assert set(re.findall(r"`(\w+)`", row.split("|")[2])) == {r.value for r in Refusal}
