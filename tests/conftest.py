"""Shared set-up: which `broadcast` the suite exercises, and the engine stand-in for subprocesses.

By default the suite imports the installed native module. With BROADCAST_IMPL=reference it runs
against the pure-Python reading in bench/reference instead (useful to check a test itself). This
process finds the engine stand-in through pytest's `pythonpath` setting (pyproject.toml).
"""
import importlib.util
import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
ENGINE_DIR = ROOT / "engine_standin"
REFERENCE_FILE = ROOT / "bench" / "reference" / "broadcast.py"


def _load_reference():
    spec = importlib.util.spec_from_file_location("broadcast", REFERENCE_FILE)
    module = importlib.util.module_from_spec(spec)
    sys.modules["broadcast"] = module
    spec.loader.exec_module(module)
    return module


if os.environ.get("BROADCAST_IMPL") == "reference":
    _load_reference()

# Subprocesses (nodes, the demo, the README's examples) find the engine stand-in the same way.
os.environ["PYTHONPATH"] = os.pathsep.join(
    [str(ENGINE_DIR)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
)
