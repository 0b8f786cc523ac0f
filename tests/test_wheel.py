"""A host application's pip path, as the quick start gives it: scripts/build-wheels makes the
wheels, a brand-new virtual environment installs them together (the engine stand-in from its own
wheel, as a user's engine package would be), and a node runs there against a local redis-server
with the example documents module, fed by the publish command of that environment."""
import asyncio
import json
import os
import pathlib
import subprocess
import sys
import time
import urllib.request
import zipfile

import pytest
from broadcast_demo.auth_service import AuthService
from broadcast_demo.local_redis import LocalRedis
from prometheus_client.parser import text_string_to_metric_families
from websockets.asyncio.client import connect

from support.expected_surface import native_only

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCUMENTS = str(ROOT / "examples" / "documents.py")
OURS = {"acl_broadcast", "acl_broadcast_server", "acl_broadcast_demo",
        "acl_broadcast_engine_standin"}

pytestmark = [
    native_only,
    pytest.mark.nodes,
    pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                       reason="the release run builds and checks the wheels"),
]


def test_the_wheels_install_together_in_a_fresh_venv_and_run_a_node(tmp_path):
    dist = tmp_path / "dist"
    subprocess.run([str(ROOT / "scripts" / "build-wheels"), str(dist)], check=True,
                   env=dict(os.environ, PYTHON=sys.executable), timeout=900,
                   stdout=subprocess.DEVNULL)
    assert not (ROOT / "server" / "build").exists()
    wheels = {w.name.split("-")[0]: w for w in dist.glob("*.whl")}
    assert set(wheels) == OURS
    names = set(zipfile.ZipFile(wheels["acl_broadcast"]).namelist())
    assert {"broadcast.pyi", "broadcast-stubs/__init__.pyi"} <= names
    assert [n for n in names if n.startswith("broadcast.") and n.endswith(".so")]

    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    # The environment of a user's shell: nothing of this repository on the path.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}

    def pip_install(*wheel_names):
        subprocess.run([sys.executable, "-m", "pip", "--python", python, "install", "-q",
                        *(str(wheels[n]) for n in wheel_names)], check=True, timeout=600,
                       env=env)

    def command(*args, blocked=()):
        """``python -m broadcast_server ARGS`` in the fresh environment, with the modules
        ``blocked`` made unimportable."""
        run = ("import runpy, sys; sys.modules.update(dict.fromkeys(%r)); "
               "runpy.run_module('broadcast_server', run_name='__main__')" % (blocked,))
        return subprocess.run([python, "-c", run, *args], cwd=tmp_path, env=env,
                              capture_output=True, text=True, timeout=60)

    pip_install("acl_broadcast", "acl_broadcast_server")

    with LocalRedis() as redis, AuthService() as auth:
        auth.add_account("k-invoices", {"read": ["Invoice"]}, id="ops")
        node_args = ["node", "--redis", redis.url, "--auth", auth.base_url,
                     "--app-name", "invoicing", "--documents", DOCUMENTS, "--port", "0"]
        # Without the engine: help, and one line naming what to install.
        for args in (["node", "--help"], ["publish", "--help"]):
            assert command(*args).returncode == 0
        missing = command(*node_args)
        assert missing.returncode == 2 and missing.stderr.count("\n") == 1
        assert "the engine package tolva_engine is not installed" in missing.stderr

        pip_install("acl_broadcast_engine_standin", "acl_broadcast_demo")
        # Ours came from the wheels given, and nothing of a namesake on the index came along.
        report = subprocess.run([python, "-c", INSTALLED], capture_output=True, text=True,
                                timeout=60, env=env, check=True)
        installed = json.loads(report.stdout)
        assert {installed.get(name.replace("_", "-")) for name in OURS} == {"file"}
        assert not {"broadcast", "broadcast-server", "broadcast-demo"} & set(installed)
        node = subprocess.Popen([python, "-m", "broadcast_server", *node_args], cwd=tmp_path,
                                env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
        try:
            line = node.stdout.readline()
            assert line, node.stderr.read()
            url = json.loads(line)["url"]
            got, skipped = asyncio.run(subscribe_and_publish(url, redis.url, command))
            assert auth.last_request.json["app_name"] == "invoicing"
        finally:
            node.terminate()
            assert node.wait(10) == 0
    assert got == {"doc_class": "Invoice", "op": "create", "seq": "00000001",
                   "message": {"id": "F-1", "region": "eu", "customer": "", "total": 120.0}}
    assert skipped == 1  # the event publish took without the documents, that no node can rebuild


INSTALLED = """import importlib.metadata as m, json
print(json.dumps({d.metadata["Name"]: (json.loads(d.read_text("direct_url.json") or "{}")
                  .get("url", "index").split(":")[0]) for d in m.distributions()}))"""


async def subscribe_and_publish(url, redis_url, command):
    """(the event a subscriber got, the entries the node skipped as refused by their class)"""
    async with connect(url) as ws:
        await ws.recv()  # welcome
        await ws.send(json.dumps({"api_key": "k-invoices", "subscribe": [{"doc_class": "Invoice"}]}))
        assert json.loads(await ws.recv())["type"] == "subscribed"
        invoice = '{"id": "F-1", "region": "eu", "total": 120.0, "margin": 30.0}'
        # publish writes to Redis alone: neither the module nor the engine is imported.
        blocked = ("broadcast", "tolva_engine")
        done = await asyncio.to_thread(command, "publish", "--redis", redis_url, "--documents",
                                       DOCUMENTS, "--class", "Invoice", "--op", "create",
                                       "--data", invoice)
        assert (done.returncode, done.stdout) == (0, "00000001\n"), done.stderr
        unfit = '{"id": "F-2", "region": "eu", "total": 1.0, "colour": "red"}'
        done = await asyncio.to_thread(command, "publish", "--redis", redis_url, "--class",
                                       "Invoice", "--data", unfit, blocked=blocked)
        assert (done.returncode, done.stdout) == (0, "00000002\n"), done.stderr
        got = json.loads(await asyncio.wait_for(ws.recv(), 15))
    metrics_url = url.replace("ws://", "http://") + "/metrics"
    for _ in range(100):
        text = await asyncio.to_thread(lambda: urllib.request.urlopen(metrics_url, timeout=5)
                                       .read().decode())
        skipped = {s.labels["reason"]: s.value for f in text_string_to_metric_families(text)
                   for s in f.samples if s.name == "broadcast_stream_entries_skipped_total"}
        if skipped["refused_by_class"]:
            break
        await asyncio.sleep(0.05)
    return got, skipped["refused_by_class"]
