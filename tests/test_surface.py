"""What introspection sees of the module: namespace, module attributes, classes and every callable."""
import asyncio
import builtins
import copy
import functools
import inspect
import json
import os
import pickle
import pydoc
import sys
import types
import typing
import urllib.parse

import pytest
import requests
import tolva_engine

import broadcast
from support.expected_surface import (
    ASYNC_WRAPPER_FIRST_LINE,
    BROADCASTER_DOC,
    BROADCASTER_METHODS,
    CO_VARARGS,
    CO_VARKEYWORDS,
    CO_COROUTINE,
    COROUTINE_METHODS,
    DOCS,
    FIRST_LINES,
    IS_REFERENCE,
    KIND_FLAGS,
    MODULE_NAMES,
    QUALNAMES,
    STANDARD_MODULE_ATTRIBUTES,
    SYNC_WRAPPER_FIRST_LINE,
    extension_path,
    make_twins,
    native_only,
    raw_callables,
)

Broadcaster = broadcast.Broadcaster
AuthClient = broadcast.AuthClient

TWINS = make_twins(broadcast)
NATIVE = raw_callables(vars(broadcast))
TWIN = raw_callables(TWINS)


# ---------------------------------------------------------------------------------------------- module


def test_namespace_holds_the_fourteen_names_in_order_after_the_standard_attributes():
    # (The warnings machinery adds __warningregistry__ to any module a warning is attributed to,
    # as the module's frames now have warnings of code run under them.)
    names = [n for n in vars(broadcast) if n != "__warningregistry__"]
    dunders = [n for n in names if n.startswith("__") and n.endswith("__")]
    public = [n for n in names if n not in dunders]
    assert public == list(MODULE_NAMES)
    # No leftovers of the initialisation (hooks, __all__, __path__ ...), and the standard ones first.
    assert set(dunders) <= STANDARD_MODULE_ATTRIBUTES
    assert names[: len(dunders)] == dunders
    assert not hasattr(broadcast, "__all__")
    assert not hasattr(broadcast, "__path__")


def test_namespace_values():
    ns = vars(broadcast)
    assert ns["Type"] is typing.Type
    assert ns["Union"] is typing.Union
    assert ns["wraps"] is functools.wraps
    assert ns["lru_cache"] is functools.lru_cache
    assert ns["json"] is json
    assert ns["requests"] is requests
    for name in ("Base", "Document", "OutOfScopeError", "AuthorizationError"):
        assert ns[name] is getattr(tolva_engine, name)
    assert ns["__builtins__"] is vars(builtins)


def test_module_attributes():
    assert broadcast.__name__ == "broadcast"
    assert broadcast.__doc__ is None
    assert broadcast.__package__ == ""
    if not IS_REFERENCE:  # a source file loaded by the import system always gets a cache path
        assert broadcast.__cached__ is None
    assert os.path.basename(broadcast.__file__) == "broadcast.py"


@native_only
def test_file_names_broadcast_py_beside_the_extension():
    so = extension_path(broadcast)
    assert so is not None, "cannot locate the extension module's file"
    assert broadcast.__file__ == os.path.dirname(so) + os.sep + "broadcast.py"


def test_classes():
    for cls in (Broadcaster, AuthClient):
        assert type(cls) is type
        assert cls.__bases__ == (object,)
        assert cls.__module__ == broadcast.__name__
    assert Broadcaster.__name__ == Broadcaster.__qualname__ == "Broadcaster"
    assert AuthClient.__name__ == AuthClient.__qualname__ == "AuthClient"
    assert not issubclass(Broadcaster, broadcast.Base)
    assert Broadcaster.__doc__ == BROADCASTER_DOC
    assert AuthClient.__doc__ is None
    assert type(Broadcaster.active_connections) is dict


def _namespace_order_of(name, body):
    """vars() order of a class that `type` makes from this namespace, the way the module makes it."""
    return list(vars(type(name, (), dict(body))))


def test_broadcaster_namespace_order_and_classmethods():
    body = [("__module__", broadcast.__name__), ("__doc__", BROADCASTER_DOC), ("__qualname__", "Broadcaster"),
            ("active_connections", {})] + [(n, classmethod(lambda cls: None)) for n in BROADCASTER_METHODS]
    assert list(vars(Broadcaster)) == _namespace_order_of("Broadcaster", body)
    for name in BROADCASTER_METHODS:
        assert type(vars(Broadcaster)[name]) is classmethod, name


def test_authclient_namespace_order_and_plain_functions():
    body = [("__module__", broadcast.__name__), ("__qualname__", "AuthClient"),
            ("__init__", lambda self: None), ("get_api_acl", lambda self: None)]
    assert list(vars(AuthClient)) == _namespace_order_of("AuthClient", body)
    for name in ("__init__", "get_api_acl"):
        member = vars(AuthClient)[name]
        assert not isinstance(member, (classmethod, staticmethod))
        assert callable(member)
    assert not hasattr(AuthClient.get_api_acl, "cache_info")


def test_default_api_root_is_an_https_api_root():
    default = vars(AuthClient)["__init__"].__defaults__[0]
    parts = urllib.parse.urlsplit(default)
    assert parts.scheme == "https"
    assert parts.netloc
    assert parts.path == "/api/"
    assert (parts.query, parts.fragment) == ("", "")
    assert inspect.signature(AuthClient).parameters["api_root"].default == default


# ------------------------------------------------------------------------------------------ callables


@pytest.mark.parametrize("qualname", QUALNAMES)
def test_names_module_and_docstring(qualname):
    func = NATIVE[qualname]
    expected_name = qualname.split(".")[-1] if not qualname.endswith("__wrapped__") else "document_sent_async"
    expected_qualname = qualname.removesuffix(".__wrapped__")
    assert func.__name__ == expected_name
    assert func.__qualname__ == expected_qualname
    assert func.__module__ == broadcast.__name__
    assert func.__doc__ == DOCS[qualname]


@pytest.mark.parametrize("qualname", QUALNAMES)
def test_defaults_annotations_and_signature_match_the_twin(qualname):
    func, twin = NATIVE[qualname], TWIN[qualname]
    assert func.__defaults__ == twin.__defaults__
    assert func.__kwdefaults__ is None
    assert list(func.__annotations__.items()) == list(twin.__annotations__.items())
    assert str(inspect.signature(func)) == str(inspect.signature(twin))
    assert str(inspect.signature(func, follow_wrapped=False)) == str(inspect.signature(twin, follow_wrapped=False))
    assert inspect.iscoroutinefunction(func) == inspect.iscoroutinefunction(twin)
    assert asyncio.iscoroutinefunction(func) == asyncio.iscoroutinefunction(twin)
    assert not inspect.isgeneratorfunction(func)
    assert sorted(vars(func)) == sorted(vars(twin))


@pytest.mark.parametrize("qualname", QUALNAMES)
def test_code_description_matches_the_twin(qualname):
    code, twin = NATIVE[qualname].__code__, TWIN[qualname].__code__
    params = twin.co_argcount + twin.co_kwonlyargcount + bool(twin.co_flags & CO_VARARGS) \
        + bool(twin.co_flags & CO_VARKEYWORDS)
    assert code.co_argcount == twin.co_argcount
    assert code.co_posonlyargcount == twin.co_posonlyargcount
    assert code.co_kwonlyargcount == 0
    assert code.co_varnames[:params] == twin.co_varnames[:params]
    assert code.co_flags & KIND_FLAGS == twin.co_flags & KIND_FLAGS
    assert code.co_freevars == twin.co_freevars
    assert code.co_name == twin.co_name
    assert code.co_qualname == twin.co_qualname


@pytest.mark.parametrize("qualname", QUALNAMES)
def test_code_file_and_first_line(qualname):
    code = NATIVE[qualname].__code__
    assert code.co_filename == broadcast.__file__
    if not IS_REFERENCE:
        assert code.co_firstlineno == FIRST_LINES[qualname]


@pytest.mark.parametrize("qualname", QUALNAMES)
def test_tools_take_them_for_python_functions(qualname):
    func = NATIVE[qualname]
    assert isinstance(func, types.FunctionType) and inspect.isfunction(func)
    assert pydoc.describe(func) == "function " + func.__name__
    assert copy.copy(func) is func and copy.deepcopy(func) is func
    if qualname.startswith("Broadcaster."):
        # By reference, as for any function: the class attribute is a bound method, not this object.
        with pytest.raises(pickle.PicklingError, match="not the same object"):
            pickle.dumps(func)
    else:
        assert pickle.loads(pickle.dumps(func)) is func
    if not IS_REFERENCE:
        with pytest.raises(OSError):
            inspect.getsource(func)


@pytest.mark.parametrize("method", BROADCASTER_METHODS)
def test_bound_methods_through_the_class(method):
    bound, twin_bound = getattr(Broadcaster, method), getattr(TWINS["Broadcaster"], method)
    assert bound.__self__ is Broadcaster
    assert bound.__func__ is vars(Broadcaster)[method].__func__
    assert str(inspect.signature(bound)) == str(inspect.signature(twin_bound))
    assert inspect.iscoroutinefunction(bound) == (method in COROUTINE_METHODS)
    # classmethod copies the function's attributes onto itself
    wrapper = vars(Broadcaster)[method]
    assert wrapper.__wrapped__ is wrapper.__func__
    assert wrapper.__doc__ == DOCS["Broadcaster." + method]
    assert wrapper.__qualname__ == "Broadcaster." + method


def test_literal_signatures():
    assert str(inspect.signature(Broadcaster.subscribe)) == (
        "(websocket, class_name: str, data_scope: list = None, catalog: dict = None, show_hidden: bool = False, "
        "start_seq: str = '', acl=None, **kwargs)")
    assert vars(Broadcaster)["subscribe"].__func__.__defaults__ == (None, None, False, "", None)
    assert str(inspect.signature(Broadcaster.document_sent_async, follow_wrapped=False)) == "(*args, **kwargs)"
    inner = Broadcaster.document_sent_async.__wrapped__
    assert list(inspect.signature(inner).parameters) == ["cls", "doc", "op", "seq"]
    assert inspect.signature(inner).parameters["cls"].kind is inspect.Parameter.POSITIONAL_ONLY
    assert str(inspect.signature(AuthClient.get_api_acl)) == "(self, api_key: str, app_name: str, api_id: str = '')"
    assert str(inspect.signature(broadcast.auth_required)) == "(func)"


def test_annotations_objects():
    body = Broadcaster.get_message_body.__annotations__
    assert list(body) == ["doc", "data_scope", "catalog", "show_hidden", "return"]
    assert body["doc"] is broadcast.Document
    assert body["return"] == typing.Optional[dict] == typing.Union[dict, None]
    assert Broadcaster.check_subscriber_acl.__annotations__ == {"doc": broadcast.Document}
    inner = Broadcaster.document_sent_async.__wrapped__
    assert inner.__annotations__ == {"doc": broadcast.Document, "op": str, "seq": str}
    # functools.wraps hands the wrapper the very dictionary of the wrapped function
    assert Broadcaster.document_sent_async.__annotations__ is inner.__annotations__
    for name in ("accept", "disconnect", "subscriber_is_connected"):
        assert getattr(Broadcaster, name).__annotations__ == {}


def test_every_function_has_its_own_annotations_dict():
    funcs = [f for q, f in NATIVE.items() if q != "Broadcaster.document_sent_async"]
    dicts = [f.__annotations__ for f in funcs]
    assert len({id(d) for d in dicts}) == len(funcs)
    assert all(f.__annotations__ is d for f, d in zip(funcs, dicts)), "__annotations__ is not a stable dict"


def test_globals_are_the_module_namespace():
    for func in NATIVE.values():
        assert func.__globals__ is vars(broadcast)


def test_decorator_wrapper_closure_holds_func():
    wrapper = Broadcaster.document_sent_async
    inner = wrapper.__wrapped__
    assert wrapper.__code__.co_freevars == ("func",)
    assert len(wrapper.__closure__) == 1
    assert wrapper.__closure__[0].cell_contents is inner
    assert inner.__closure__ is None
    assert wrapper.__code__.co_flags & CO_COROUTINE


@pytest.mark.parametrize("decorator, first_line, is_async", [
    ("auth_required", SYNC_WRAPPER_FIRST_LINE, False),
    ("auth_required_async", ASYNC_WRAPPER_FIRST_LINE, True),
])
def test_fresh_wrappers_of_the_decorators(decorator, first_line, is_async):
    def target(a, b: int = 2) -> str:
        """Target doc."""
    target.marker = "kept"
    wrapper = getattr(broadcast, decorator)(target)
    code = wrapper.__code__
    assert (code.co_name, code.co_qualname) == ("need_auth", decorator + ".<locals>.need_auth")
    assert code.co_varnames[:2] == ("args", "kwargs")
    assert code.co_freevars == ("func",)
    assert code.co_flags & KIND_FLAGS == (CO_VARARGS | CO_VARKEYWORDS | (CO_COROUTINE if is_async else 0))
    assert code.co_filename == broadcast.__file__
    if not IS_REFERENCE:
        assert code.co_firstlineno == first_line
    assert wrapper.__closure__[0].cell_contents is target
    assert wrapper.__wrapped__ is target
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__doc__) == (
        target.__name__, target.__qualname__, target.__doc__)
    assert wrapper.__annotations__ is target.__annotations__
    assert wrapper.__module__ == __name__
    assert wrapper.marker == "kept"
    assert wrapper.__defaults__ is None and wrapper.__kwdefaults__ is None
    assert inspect.iscoroutinefunction(wrapper) is is_async
    assert str(inspect.signature(wrapper)) == "(a, b: int = 2) -> str"
    assert getattr(broadcast, decorator)(target) is not wrapper


def test_subscriber_is_connected_and_missing_argument():
    assert Broadcaster.subscriber_is_connected(object()) is True
    with pytest.raises(TypeError) as info:
        Broadcaster.subscriber_is_connected()
    assert str(info.value) == (
        "Broadcaster.subscriber_is_connected() missing 1 required positional argument: 'websocket'")


def test_wrapped_document_sent_async_refuses_cls_as_keyword():
    with pytest.raises(TypeError) as info:
        Broadcaster.document_sent_async.__wrapped__(cls=Broadcaster, doc=None, op="u", seq="1")
    assert str(info.value) == (
        "Broadcaster.document_sent_async() got some positional-only arguments passed as keyword arguments: 'cls'")


def test_module_stays_importable_by_name():
    assert sys.modules["broadcast"] is broadcast
