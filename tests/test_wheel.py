"""`pip wheel .` makes a wheel that installs and imports in a fresh virtual environment."""
import os
import pathlib
import subprocess
import sys
import zipfile

import pytest

from support.expected_surface import native_only

ROOT = pathlib.Path(__file__).resolve().parent.parent

pytestmark = [
    native_only,
    pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                       reason="the release run builds and checks the wheel"),
]


def test_wheel_installs_and_imports_in_a_fresh_venv(tmp_path):
    pip = [sys.executable, "-m", "pip"]
    subprocess.run([*pip, "wheel", "-q", "--no-deps", "-w", str(tmp_path / "dist"), str(ROOT)],
                   check=True, cwd=tmp_path, timeout=600)
    [wheel] = (tmp_path / "dist").glob("acl_broadcast-*.whl")
    names = set(zipfile.ZipFile(wheel).namelist())
    assert {"broadcast.pyi", "broadcast-stubs/__init__.pyi"} <= names
    assert [n for n in names if n.startswith("broadcast.") and n.endswith(".so")]

    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    python = venv / "bin" / "python"
    subprocess.run([*pip, "--python", str(python), "install", "-q", str(wheel)], check=True,
                   timeout=600)
    env = dict(os.environ, PYTHONPATH=str(ROOT / "engine_standin"))
    probe = ("import sys, broadcast, requests; "
             "assert broadcast.__file__.startswith(sys.prefix), broadcast.__file__; "
             "print(broadcast.Broadcaster.__doc__)")
    proc = subprocess.run([str(python), "-c", probe], cwd=tmp_path, env=env, capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "Broadcasting document into subscribers (via websocket)"
