"""A small stand-in for the document engine, for tests and the demo (never installed).

Documents hold a data dict and answer the three operations the broadcaster relies on:

* ``check_scope(data_scope)``: ``data_scope`` is a list of allowed values of the document's
  scope field (``scope_field``, "scope" by default); None means everything. A document outside
  the scope raises ``OutOfScopeError``.
* ``get_display_data(catalog=None, show_hidden=False)``: the data restricted to the catalog's
  fields (any container of field names; None means all), without the hidden fields unless
  ``show_hidden``.
* ``check_acl(acl, action, doc, flag)``: true when ``acl.content`` grants ``action`` on the
  document's class. The content is either a collection of class names (granting every action)
  or a dict mapping an action to such a collection; "*" stands for every class. A None ACL
  reads ``public`` (True by default).

Tests steer a single document through ``doc.override(op, result=..., raises=..., func=...)``
and read what it was asked in ``doc.calls``: a list of ``(op_name, args, kwargs)``.
Pass ``record=False`` where the recording would keep references alive.
"""

__all__ = ["Base", "Document", "Acl", "OutOfScopeError", "AuthorizationError"]

_UNSET = object()


class OutOfScopeError(Exception):
    """The document lies outside the requested data scope."""


class _OutOfScope:
    """An out-of-scope error's message, written out only when read: a scope may hold thousands
    of values, and the broadcaster catches most such errors without reading them."""

    def __init__(self, field, value, scope):
        self.field, self.value, self.scope = field, value, scope

    def __str__(self):
        return f"{self.field}={self.value!r} is outside {self.scope!r}"

    def __repr__(self):
        return repr(str(self))


class AuthorizationError(Exception):
    """The caller is not allowed to do what it asked."""


class Base:
    """Root of the engine's classes."""


class Acl:
    """An access-control list; ``content`` is what the guards and ``check_acl`` read."""

    def __init__(self, content=()):
        self.content = content

    def __repr__(self):
        return f"Acl({self.content!r})"


class Document(Base):
    OPERATIONS = ("check_scope", "get_display_data", "check_acl")

    def __init__(self, data=None, *, scope_field="scope", hidden=(), public=True, record=True):
        self.data = dict(data) if data is not None else {}
        self.scope_field = scope_field
        self.hidden = frozenset(hidden)
        self.public = public
        self.record = record
        self.calls = []
        self.overrides = {}

    def __repr__(self):
        return f"{type(self).__name__}({self.data!r})"

    # -- steering -------------------------------------------------------------------------------
    def override(self, op, result=_UNSET, *, raises=None, func=None):
        """Make ``op`` raise ``raises``, return ``result`` or run ``func(*args, **kwargs)``."""
        if op not in self.OPERATIONS:
            raise ValueError(f"unknown operation {op!r}")
        if func is None:
            if raises is not None:
                def func(*args, **kwargs):
                    raise raises
            elif result is not _UNSET:
                def func(*args, **kwargs):
                    return result
            else:
                raise ValueError("give result, raises or func")
        self.overrides[op] = func
        return self

    def reset(self, op=None):
        """Drop one override (or all of them) and the call record."""
        if op is None:
            self.overrides.clear()
            self.calls.clear()
        else:
            self.overrides.pop(op, None)

    def _enter(self, op, args, kwargs):
        if self.record:
            self.calls.append((op, args, kwargs))
        return self.overrides.get(op)

    # -- the engine operations ------------------------------------------------------------------
    def check_scope(self, data_scope, *args, **kwargs):
        hook = self._enter("check_scope", (data_scope, *args), kwargs)
        if hook is not None:
            return hook(data_scope, *args, **kwargs)
        if data_scope is None:
            return True
        value = self.data.get(self.scope_field)
        if value not in data_scope:
            raise OutOfScopeError(_OutOfScope(self.scope_field, value, data_scope))
        return True

    def get_display_data(self, *args, **kwargs):
        hook = self._enter("get_display_data", args, kwargs)
        if hook is not None:
            return hook(*args, **kwargs)
        return self._display(*args, **kwargs)

    def _display(self, catalog=None, show_hidden=False):
        return {
            key: value
            for key, value in self.data.items()
            if (catalog is None or key in catalog) and (show_hidden or key not in self.hidden)
        }

    def check_acl(self, acl, action, doc, flag, *args, **kwargs):
        hook = self._enter("check_acl", (acl, action, doc, flag, *args), kwargs)
        if hook is not None:
            return hook(acl, action, doc, flag, *args, **kwargs)
        if acl is None:
            return self.public
        content = acl.content
        granted = content.get(action, ()) if isinstance(content, dict) else content
        if not granted:
            return False
        if isinstance(granted, str):
            granted = (granted,)
        return "*" in granted or type(doc).__name__ in granted
