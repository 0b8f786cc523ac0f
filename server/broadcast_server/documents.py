"""The host application's documents, as the nodes and the publisher see them.

A node rebuilds the document of every event in the stream: it looks the event's class name up in
the ``DOCUMENT_CLASSES`` of the module given with ``--documents`` (a dict from each class's
``__name__`` to the class) and calls that class with the event's data, a JSON object, as keyword
arguments: ``cls(**data)``. :func:`rebuild` is that rule, for the nodes and for ``publish
--documents``, which refuses an event before it reaches the stream when no node could rebuild it.
A node skips such an event, logs it and counts it by :class:`~broadcast_server.errors.Skip`
(the label of ``broadcast_stream_entries_skipped_total``).

Nothing here imports the engine or the module: ``publish`` runs without them.
"""
from __future__ import annotations

import importlib
import importlib.util
import json
import pathlib
import sys
from typing import Any, Callable, Mapping

from .errors import Skip, Unfit
from .protocol import quote

__all__ = ["load_documents", "rebuild", "json_kind", "read_data"]


def load_documents(name: str) -> Mapping[str, Callable[..., Any]]:
    """The ``DOCUMENT_CLASSES`` of a module, given by its import name or as a Python file."""
    if name.endswith(".py") or "/" in name:
        path = pathlib.Path(name).resolve()
        found = importlib.util.spec_from_file_location(f"node_documents_{path.stem}", path)
        if found is None:
            raise ImportError(f"cannot load {path} as a Python module")
        module = importlib.util.module_from_spec(found)
        sys.modules[found.name] = module
        found.loader.exec_module(module)
    else:
        module = importlib.import_module(name)
    classes = module.DOCUMENT_CLASSES
    if not isinstance(classes, Mapping):
        raise AttributeError(f"DOCUMENT_CLASSES of {module.__name__} is a "
                             f"{type(classes).__name__}, not a dict of class names to classes")
    return classes


def rebuild(classes: Mapping[str, Callable[..., Any]], class_name: str, data: Any) -> Any:
    """The document of one event, as every node rebuilds it: ``classes[class_name](**data)``.

    Raises :class:`~broadcast_server.errors.Unfit`, whose ``reason`` says why (a :class:`~broadcast_server.errors.Skip`).
    """
    cls = classes.get(class_name) if isinstance(class_name, str) else None
    if cls is None:
        known = ", ".join(sorted(map(str, classes))) or "none"
        raise Unfit(f"unknown document class {quote(str(class_name))} (the documents have "
                    f"{quote(known, 200, repr_=False)})", Skip.UNKNOWN_CLASS)
    if not isinstance(data, dict):
        kind = json_kind(data)
        raise Unfit(f"the data of a {class_name} is {kind}, not a JSON object: a document is "
                    f"rebuilt as {class_name}(**data)", Skip.NOT_AN_OBJECT)
    try:
        return cls(**data)
    except Exception as exc:
        raise Unfit(f"{class_name}(**data) raised {type(exc).__name__}: "
                    f"{quote(str(exc), 200, repr_=False)}",
                    Skip.REFUSED_BY_CLASS) from exc


def json_kind(value: Any) -> str:
    """What a decoded JSON value is, in words ("a list", "a string", ...)."""
    for kind, words in ((bool, "true or false"), (str, "a string"), (list, "a list"),
                        ((int, float), "a number"), (type(None), "null")):
        if isinstance(value, kind):
            return words
    return f"a {type(value).__name__}"


def read_data(text: str) -> Any:
    """The data of an event as the command line gives it (JSON text); ValueError when it is
    not JSON."""
    try:
        return json.loads(text)
    except RecursionError:
        raise ValueError("nested too deeply") from None
    except ValueError as exc:
        raise ValueError(f"not JSON ({exc})") from None
