"""The documents of a small shop's invoices, as a node loads them (``--documents``).

    python -m broadcast_server node --documents examples/documents.py --redis ... --auth ...
    python -m broadcast_server publish --documents examples/documents.py --redis ... \
        --class Invoice --data '{"id": "F-1", "region": "eu", "total": 120.0}'

A node rebuilds the document of every event as ``DOCUMENT_CLASSES[class name](**data)``, then
asks it, for each subscriber of its class, the three things below. ``data`` is what the document
was built from: the publisher's ``publish(doc, ...)`` appends it.
"""
from tolva_engine import Document, OutOfScopeError


class ShopDocument(Document):
    """What the shop's documents share: a scope field, hidden fields, an ACL that names classes."""

    SCOPE = "region"
    """The field a subscription's data scope (a list of its values) is matched against."""

    HIDDEN: tuple[str, ...] = ()
    """Fields shown only to subscriptions with ``show_hidden``."""

    def __init__(self, **data):
        self.data = data

    def check_scope(self, data_scope):
        """Raise ``OutOfScopeError`` unless the document lies in ``data_scope`` (None: all)."""
        if data_scope is not None and self.data.get(self.SCOPE) not in data_scope:
            raise OutOfScopeError(f"{self.SCOPE} is outside the subscription's scope")
        return True

    def get_display_data(self, catalog=None, show_hidden=False):
        """What a subscriber sees: the fields its catalog names (None: all), without the hidden
        ones unless ``show_hidden``; an empty result sends nothing."""
        return {field: value for field, value in self.data.items()
                if (catalog is None or field in catalog)
                and (show_hidden or field not in self.HIDDEN)}

    def check_acl(self, acl, action, doc, flag):
        """Whether ``acl`` (the engine's ``Acl``, holding the authentication service's ACL as its
        ``content``) grants ``action`` ("read") on ``doc``, this document; ``flag`` is False."""
        content = getattr(acl, "content", None) or {}
        granted = content.get(action, ()) if isinstance(content, dict) else content
        return "*" in granted or type(doc).__name__ in granted


class Invoice(ShopDocument):
    """An invoice. Its fields are its keyword arguments: an event with another field is refused
    by ``publish --documents`` and skipped by every node."""

    HIDDEN = ("margin",)

    def __init__(self, *, id: str, region: str, total: float, customer: str = "",
                 margin: float | None = None):
        super().__init__(id=id, region=region, customer=customer, total=total, margin=margin)


DOCUMENT_CLASSES = {cls.__name__: cls for cls in (Invoice,)}
