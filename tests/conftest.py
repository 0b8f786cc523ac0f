"""Shared set-up: the engine stand-in on the path, and which `broadcast` the suite exercises.

By default the suite imports the installed native module. With BROADCAST_IMPL=reference it runs
against the pure-Python reading in bench/reference instead (useful to check a test itself).
"""
import importlib.util
import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
ENGINE_DIR = ROOT / "engine_standin"
REFERENCE_FILE = ROOT / "bench" / "reference" / "broadcast.py"

if str(ENGINE_DIR) not in sys.path:
    sys.path.insert(0, str(ENGINE_DIR))


def _load_reference():
    spec = importlib.util.spec_from_file_location("broadcast", REFERENCE_FILE)
    module = importlib.util.module_from_spec(spec)
    sys.modules["broadcast"] = module
    spec.loader.exec_module(module)
    return module


if os.environ.get("BROADCAST_IMPL") == "reference":
    _load_reference()

# Subprocess tests need the same paths as this process.
os.environ["PYTHONPATH"] = os.pathsep.join(
    [str(ENGINE_DIR)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
)
