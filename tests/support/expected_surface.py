"""Expected public surface of `broadcast`, shared by the surface, function and coroutine tests.

The "twins" are ordinary Python definitions with the same signatures, names and qualified names as the
module's callables. Whatever CPython reports for a twin (signature text, code counts and flags,
argument-binding errors) is what the module has to report for the real thing.
"""
import functools
import importlib.machinery
import os
import typing

import pytest

IS_REFERENCE = os.environ.get("BROADCAST_IMPL") == "reference"

native_only = pytest.mark.skipif(IS_REFERENCE, reason="only meaningful for the native extension module")

CO_VARARGS = 0x04
CO_VARKEYWORDS = 0x08
CO_GENERATOR = 0x20
CO_COROUTINE = 0x80
CO_ITERABLE_COROUTINE = 0x100
CO_ASYNC_GENERATOR = 0x200
KIND_FLAGS = (CO_VARARGS | CO_VARKEYWORDS | CO_GENERATOR | CO_COROUTINE | CO_ITERABLE_COROUTINE
              | CO_ASYNC_GENERATOR)

BROADCASTER_METHODS = (
    "accept",
    "subscribe",
    "disconnect",
    "send_message_async",
    "send_json_async",
    "get_message_body",
    "subscriber_is_connected",
    "check_subscriber_acl",
    "document_sent_async",
)
COROUTINE_METHODS = {"accept", "subscribe", "send_message_async", "send_json_async", "document_sent_async"}

MODULE_NAMES = (
    "Type", "Union", "wraps", "lru_cache", "json", "requests", "Base", "Document", "OutOfScopeError",
    "AuthorizationError", "auth_required", "auth_required_async", "AuthClient", "Broadcaster",
)
STANDARD_MODULE_ATTRIBUTES = {
    "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__cached__", "__builtins__",
}

BROADCASTER_DOC = "Broadcasting document into subscribers (via websocket)"


def docstring(summary, *sections):
    """Lay a docstring out the way every multi-line docstring of the module is laid out."""
    lines = [summary, ""]
    for index, (header, entries) in enumerate(sections):
        if index:
            lines.append("")
        lines.append(" " * 8 + header + ":")
        lines.extend(" " * 12 + entry for entry in entries)
    return "\n".join(lines) + "\n" + " " * 8


DOCS = {
    "auth_required": None,
    "auth_required_async": None,
    "AuthClient.__init__": None,
    "AuthClient.get_api_acl": docstring(
        "Get Access Control List of API",
        ("Args", ["api_key: API Key", "api_id: API ID", "app_name: app_name to check the API Key"]),
        ("Returns", ["API Detail or Error Message"]),
    ),
    "Broadcaster.accept": docstring(
        "Accept Event of a websocket event", ("Args", ["websocket: websocket object"])),
    "Broadcaster.subscribe": docstring(
        "Subscribe to a connection",
        ("Args", [
            "websocket: websocket object",
            "class_name: Document Class Name",
            "data_scope: The subset of data to be shown",
            "catalog: data to be shown",
            "show_hidden: Show hidden data or not",
            "start_seq: Not interested on the message before this start sequence",
            "acl: User access Control",
        ]),
        ("Comments", ["* Know message to route to which client", "* Know the message content to be sent"]),
    ),
    "Broadcaster.disconnect": docstring("Disconnect the subscriber", ("Args", ["websocket:"])),
    "Broadcaster.send_message_async": docstring(
        "Send message to the target websocket",
        ("Args", ["websocket: websocket object", "message (str): message content"]),
    ),
    "Broadcaster.send_json_async": docstring(
        "Send json message in async mode",
        ("Args", ["websocket: websocket object", "content (dict): dictionary to be jsonify"]),
    ),
    "Broadcaster.get_message_body": docstring(
        "Get message body from document",
        ("Args", [
            "doc: Document object holding contents",
            "data_scope: data scope",
            "catalog: data catalog",
            "show_hidden: Should show hidden value or not",
        ]),
        ("Returns", ["json object if data on the scope else None"]),
    ),
    "Broadcaster.subscriber_is_connected": docstring(
        "Check if the websocket is connected", ("Args", ["websocket: websocket object"])),
    "Broadcaster.check_subscriber_acl": docstring(
        "Check if subscriber has right to get the data",
        ("Args", ["doc: document to control", "acl: User access List"]),
        ("Returns", ["True if use has authorization else False"]),
    ),
    "Broadcaster.document_sent_async": docstring(
        " Sending document in async mode",
        ("Args", ["doc: Document object", "op: Operation Type", "seq: Create Sequence"]),
    ),
}
DOCS["Broadcaster.document_sent_async.__wrapped__"] = DOCS["Broadcaster.document_sent_async"]

# co_firstlineno of every callable's code.
FIRST_LINES = {
    "auth_required": 9,
    "auth_required_async": 18,
    "AuthClient.__init__": 28,
    "AuthClient.get_api_acl": 34,
    "Broadcaster.accept": 65,
    "Broadcaster.subscribe": 73,
    "Broadcaster.disconnect": 111,
    "Broadcaster.send_message_async": 121,
    "Broadcaster.send_json_async": 130,
    "Broadcaster.get_message_body": 142,
    "Broadcaster.subscriber_is_connected": 161,
    "Broadcaster.check_subscriber_acl": 170,
    "Broadcaster.document_sent_async": 20,  # the wrapper's own code
    "Broadcaster.document_sent_async.__wrapped__": 184,
}
SYNC_WRAPPER_FIRST_LINE = 11
ASYNC_WRAPPER_FIRST_LINE = 20

TWIN_SOURCE = '''
def auth_required(func):
    @wraps(func)
    def need_auth(*args, **kwargs):
        return func(*args, **kwargs)
    return need_auth


def auth_required_async(func):
    @wraps(func)
    async def need_auth(*args, **kwargs):
        return await func(*args, **kwargs)
    return need_auth


class AuthClient:
    def __init__(self, api_root: str = API_ROOT):
        pass

    def get_api_acl(self, api_key: str, app_name: str, api_id: str = ''):
        pass


class Broadcaster:
    @classmethod
    async def accept(cls, websocket):
        pass

    @classmethod
    async def subscribe(cls, websocket, class_name: str, data_scope: list = None, catalog: dict = None,
                        show_hidden: bool = False, start_seq: str = "", acl=None, **kwargs):
        pass

    @classmethod
    def disconnect(cls, websocket):
        pass

    @classmethod
    async def send_message_async(cls, websocket, message: str):
        pass

    @classmethod
    async def send_json_async(cls, websocket, content: dict):
        pass

    @classmethod
    def get_message_body(cls, doc: Document, data_scope: list, catalog: dict,
                         show_hidden: bool) -> Union[dict, None]:
        pass

    @classmethod
    def subscriber_is_connected(cls, websocket):
        pass

    @classmethod
    def check_subscriber_acl(cls, doc: Document, acl):
        pass

    @classmethod
    @auth_required_async
    async def document_sent_async(cls, /, doc: Document, op: str, seq: str):
        pass
'''


def make_twins(module):
    """Execute the twin definitions against the module's own Document and default API root."""
    namespace = {
        "__name__": module.__name__,
        "wraps": functools.wraps,
        "Union": typing.Union,
        "Document": module.Document,
        "API_ROOT": vars(module.AuthClient)["__init__"].__defaults__[0],
    }
    exec(compile(TWIN_SOURCE, "<twins>", "exec"), namespace)
    return namespace


def raw_callables(namespace):
    """qualified name -> the plain function object, for the module or for its twins."""
    client = vars(namespace["AuthClient"])
    broadcaster = vars(namespace["Broadcaster"])
    result = {
        "auth_required": namespace["auth_required"],
        "auth_required_async": namespace["auth_required_async"],
        "AuthClient.__init__": client["__init__"],
        "AuthClient.get_api_acl": client["get_api_acl"],
    }
    for name in BROADCASTER_METHODS:
        result["Broadcaster." + name] = broadcaster[name].__func__
    result["Broadcaster.document_sent_async.__wrapped__"] = broadcaster["document_sent_async"].__func__.__wrapped__
    return result


QUALNAMES = tuple(FIRST_LINES)


def extension_path(module):
    """Path of the native extension file that `module` was loaded from, or None."""
    suffixes = tuple(importlib.machinery.EXTENSION_SUFFIXES)
    origin = getattr(getattr(module, "__spec__", None), "origin", None)
    if isinstance(origin, str) and origin.endswith(suffixes):
        return origin
    spec = importlib.machinery.PathFinder.find_spec(module.__name__.rpartition(".")[2])
    if spec is not None and isinstance(spec.origin, str) and spec.origin.endswith(suffixes):
        return spec.origin
    return None
