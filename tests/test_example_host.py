"""The minimal host of examples/ runs as its docstring says, and a client gets its events."""
import asyncio
import json
import pathlib
import subprocess
import sys

from websockets.asyncio.client import connect

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_minimal_host_welcomes_subscribes_and_sends_events():
    host = subprocess.Popen([sys.executable, str(ROOT / "examples" / "host.py"), "--port", "0",
                             "--interval", "0.05"], cwd=ROOT, stdout=subprocess.PIPE, text=True)
    try:
        url = host.stdout.readline().split()[-1]

        async def client():
            async with connect(url) as ws:
                return [json.loads(await ws.recv()) for _ in range(3)]

        welcome, first, second = asyncio.run(asyncio.wait_for(client(), 30))
    finally:
        host.terminate()
        host.wait(10)
        host.stdout.close()
    assert welcome == {"type": "welcome"}
    assert first["doc_class"] == second["doc_class"] == "Invoice"
    assert first["op"] == "create" and int(second["seq"]) == int(first["seq"]) + 1
    assert set(first["message"]) == {"id", "total"}  # the catalog's fields, no more
