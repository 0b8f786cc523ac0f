"""The type stub: installed where type checkers look, true to the built module, useful to a host.

The built module is made from the surface table, so checking the stub against the module checks it
against the table: mypy's stubtest compares names, parameters, defaults and kinds; the annotations,
which stubtest leaves alone, are compared here.
"""
import ast
import os
import pathlib
import subprocess
import sys
import textwrap
import typing

import pytest

import broadcast
from support.expected_surface import extension_path, native_only

pytestmark = native_only

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUB = ROOT / "src" / "module" / "broadcast.pyi"


def mypy_env(tmp_path):
    """Only the engine on mypy's path: the stub must come from the installed module."""
    (tmp_path / "mypy.ini").write_text("[mypy]\n")  # no user or project settings
    return dict(os.environ, MYPYPATH=str(ROOT / "engine_standin"),
                PYTHONPATH=str(ROOT / "engine_standin"))


def test_stub_installed_beside_the_module_and_as_stub_package():
    site = pathlib.Path(extension_path(broadcast)).parent
    assert (site / "broadcast.pyi").read_text() == STUB.read_text()
    assert (site / "broadcast-stubs" / "__init__.pyi").read_text() == STUB.read_text()


def test_stubtest_passes(tmp_path):
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "broadcast",
                           "--mypy-config-file", "mypy.ini"],
                          cwd=tmp_path, env=mypy_env(tmp_path), capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def _names(node):
    """Type names an annotation expression mentions at its top level: `list[Any] | None` -> list, None."""
    if isinstance(node, ast.BinOp):
        return _names(node.left) | _names(node.right)
    if isinstance(node, ast.Subscript):
        return _names(node.value)
    if isinstance(node, ast.Constant) and node.value is None:
        return {"None"}
    if isinstance(node, ast.Name):
        return {node.id}
    if isinstance(node, ast.Attribute):
        return {node.attr}
    return set()


def _runtime_names(annotation):
    if typing.get_origin(annotation) is typing.Union:
        return set().union(*map(_runtime_names, typing.get_args(annotation)))
    if annotation is type(None):
        return {"None"}
    return {annotation.__name__}


def _stub_functions():
    tree = ast.parse(STUB.read_text())
    for node in tree.body:
        if getattr(node, "name", "_").startswith("_"):
            continue
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            yield node.name, node
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    yield f"{node.name}.{item.name}", item


def test_annotations_agree_with_the_module():
    checked = 0
    for qualname, node in _stub_functions():
        owner, _, name = qualname.rpartition(".")
        runtime = getattr(getattr(broadcast, owner) if owner else broadcast, name)
        wrapped = getattr(runtime, "__wrapped__", runtime)
        stub_params = {a.arg: a.annotation for a in
                       node.args.posonlyargs + node.args.args + node.args.kwonlyargs}
        for param, annotation in wrapped.__annotations__.items():
            stub_annotation = node.returns if param == "return" else stub_params[param]
            assert stub_annotation is not None, f"{qualname}: {param} unannotated in the stub"
            assert _runtime_names(annotation) <= _names(stub_annotation), (qualname, param)
            checked += 1
        doc = runtime.__doc__
        if doc and owner:
            assert ast.get_docstring(node) == doc.strip().splitlines()[0], qualname
    assert checked >= 15


HOST = '''
    import asyncio
    from typing import Any

    import broadcast
    import requests
    from broadcast import AuthorizationError, auth_required_async


    class Host(broadcast.Broadcaster):
        active_connections = {}

        @classmethod
        async def accept(cls, websocket: Any) -> None:
            pass

        @classmethod
        def subscriber_is_connected(cls, websocket: Any) -> bool:
            return True

        @classmethod
        async def send_message_async(cls, websocket: Any, message: str) -> None:
            pass


    class TimedRequests:
        def __init__(self, timeout: float) -> None:
            self.timeout = timeout

        def post(self, url: str, *, json: Any) -> requests.Response:
            return requests.post(url, json=json, timeout=self.timeout)


    @auth_required_async
    async def subscribe_client(websocket: Any, *, acl: Any) -> int:
        await Host.subscribe(websocket, "Order", data_scope=["eu"], catalog={"id": 1},
                             show_hidden=True, start_seq="0005", acl=acl)
        return 1


    async def serve(websocket: Any, doc: broadcast.Document) -> None:
        broadcast.requests = TimedRequests(2.0)
        reply, status = broadcast.AuthClient("http://127.0.0.1:1/api/").get_api_acl("k", "app")
        try:
            count: int = await subscribe_client(websocket, acl=reply.get("acl"))
        except AuthorizationError:
            return
        await Host.document_sent_async(doc, "update", "0007")
        Host.disconnect(websocket)
        body = Host.get_message_body(doc, None, None, False)
        if body is not None:
            await Host.send_json_async(websocket, body)
'''

# (line of code inside `async def misuse(websocket)`, what mypy must say about it)
MISUSES = [
    ('await Host.subscribe(websocket, data_scope=["eu"])', 'Missing positional argument "class_name"'),
    ("await Host.disconnect(websocket)", 'Incompatible types in "await"'),
    ("broadcast.AuthClient(42)", 'incompatible type "int"; expected "str"'),
    ('broadcast.AuthClient(api_root=b"https://auth/api/")', 'incompatible type "bytes"; expected "str"'),
    ('await Host.document_sent_async(None, "update", "0001")', 'incompatible type "None"'),
    ('Host.subscribe(websocket, "Order").send(None)', None),  # a coroutine: fine
    ("x: int = Host.subscriber_is_connected(websocket)", None),  # bool is an int
    ('await broadcast.auth_required(lambda: 1)()', 'Incompatible types in "await"'),
]


def test_mypy_accepts_a_host_and_reports_misuse(tmp_path):
    (tmp_path / "host.py").write_text(textwrap.dedent(HOST))
    misuse = ["from host import Host", "import broadcast", "", "",
              "async def misuse(websocket: object) -> None:"]
    first = len(misuse) + 1
    misuse += [f"    {code}" for code, _ in MISUSES]
    (tmp_path / "misuse.py").write_text("\n".join(misuse) + "\n")
    proc = subprocess.run([sys.executable, "-m", "mypy", "--config-file", "mypy.ini",
                           "--cache-dir", str(tmp_path / "cache"), "host.py", "misuse.py"],
                          cwd=tmp_path, env=mypy_env(tmp_path), capture_output=True, text=True, timeout=300)
    errors = {}
    for line in proc.stdout.splitlines():
        path, _, rest = line.partition(":")
        lineno, _, message = rest.partition(":")
        if lineno.isdigit() and "error" in message:
            errors.setdefault((path, int(lineno)), []).append(message)
    assert not [key for key in errors if key[0] != "misuse.py"], proc.stdout
    for n, (code, expected) in enumerate(MISUSES, first):
        reported = " ".join(errors.get(("misuse.py", n), []))
        if expected is None:
            assert not reported, (code, reported)
        else:
            assert expected in reported, (code, proc.stdout + proc.stderr)
