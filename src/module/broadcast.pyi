# Type stub of the extension module, installed beside it. Its names, parameters, defaults and kinds
# are checked against the built module (made from surface.cpp's table) by the test suite.
import json as json
from collections.abc import Awaitable, Callable, Coroutine
from functools import lru_cache as lru_cache, wraps as wraps
from typing import Any, ClassVar, ParamSpec, Protocol, Type as Type, TypeVar, Union as Union

from tolva_engine import (
    AuthorizationError as AuthorizationError,
    Base as Base,
    Document as Document,
    OutOfScopeError as OutOfScopeError,
)

_P = ParamSpec("_P")
_R = TypeVar("_R")

class _Reply(Protocol):
    @property
    def status_code(self) -> int: ...
    @property
    def content(self) -> bytes: ...
    def json(self) -> Any: ...

class _HttpClient(Protocol):
    # The one call the module makes: `requests.post(url, json=body)`.
    def post(self, url: str, *, json: Any) -> _Reply: ...

# Read at each use: a host may rebind it, for example to a wrapper that passes a timeout.
requests: _HttpClient

def auth_required(func: Callable[_P, _R]) -> Callable[_P, _R]: ...
def auth_required_async(
    func: Callable[_P, Awaitable[_R]],
) -> Callable[_P, Coroutine[Any, Any, _R]]: ...

class AuthClient:
    api_root: str
    user_root: str
    role_root: str
    matrix_root: str
    def __init__(self, api_root: str = "https://auth.example.org/api/") -> None: ...
    def get_api_acl(self, api_key: str, app_name: str, api_id: str = "") -> tuple[Any, int]:
        """Get Access Control List of API"""

class Broadcaster:
    """Broadcasting document into subscribers (via websocket)"""

    # class name -> {websocket: the subscription's parameters}
    active_connections: ClassVar[dict[str, dict[Any, dict[str, Any]]]]
    @classmethod
    async def accept(cls, websocket: Any) -> None:
        """Accept Event of a websocket event"""
    @classmethod
    async def subscribe(
        cls,
        websocket: Any,
        class_name: str,
        data_scope: list[Any] | None = None,
        catalog: dict[str, Any] | None = None,
        show_hidden: bool = False,
        start_seq: str = "",
        acl: Any = None,
        **kwargs: Any,
    ) -> dict[str, Any]:
        """Subscribe to a connection"""
    @classmethod
    def disconnect(cls, websocket: Any) -> None:
        """Disconnect the subscriber"""
    @classmethod
    async def send_message_async(cls, websocket: Any, message: str) -> None:
        """Send message to the target websocket"""
    @classmethod
    async def send_json_async(cls, websocket: Any, content: dict[str, Any]) -> None:
        """Send json message in async mode"""
    @classmethod
    def get_message_body(
        cls, doc: Document, data_scope: list[Any] | None, catalog: dict[str, Any] | None,
        show_hidden: bool,
    ) -> dict[str, Any] | None:
        """Get message body from document"""
    @classmethod
    def subscriber_is_connected(cls, websocket: Any) -> bool:
        """Check if the websocket is connected"""
    @classmethod
    def check_subscriber_acl(cls, doc: Document, acl: Any) -> bool:
        """Check if subscriber has right to get the data"""
    @classmethod
    async def document_sent_async(cls, /, doc: Document, op: str, seq: str) -> None:
        """Sending document in async mode"""
