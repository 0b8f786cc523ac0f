"""The demo's documents: orders and shipments of a small shop.

They stand in for the engine's real document classes and are built on the engine stand-in's
``Document``:

* scope: the ``region`` field; a subscription's data scope is a list of regions (None: all);
* catalog: a subscription's catalog is a dict keyed by the field names it wants (None: all);
* hidden fields: margins, internal notes and phone numbers are shown only with ``show_hidden``;
* ACL rules: an ACL's content maps an action to the document classes it grants
  (``{"read": ["Order", "Shipment"]}``). Documents flagged ``restricted`` (orders on legal hold,
  say) additionally need ``read_restricted`` on their class. A missing ACL grants nothing.
"""
from tolva_engine import Acl, Document, OutOfScopeError

__all__ = ["Acl", "Order", "Shipment", "DOCUMENT_CLASSES", "SEQ_WIDTH", "sample_events",
           "expected_view"]

SEQ_WIDTH = 4
"""The width of the shop's seqs ("0005"): a client's start_seq must have it too."""


def _grants(acl, action, class_name):
    content = getattr(acl, "content", None)
    if not isinstance(content, dict):
        return bool(content) and ("*" in content or class_name in content)
    granted = content.get(action) or ()
    if isinstance(granted, str):
        granted = (granted,)
    return "*" in granted or class_name in granted


class ShopDocument(Document):
    hidden_fields = ()

    def __init__(self, **fields):
        super().__init__(fields, scope_field="region", hidden=self.hidden_fields, public=False,
                         record=False)

    def check_acl(self, acl, action, doc, flag, *args, **kwargs):
        if self.overrides:  # tests may still steer it like any stand-in document
            return super().check_acl(acl, action, doc, flag, *args, **kwargs)
        class_name = type(doc).__name__
        if acl is None or not _grants(acl, action, class_name):
            return False
        if self.data.get("restricted"):
            return _grants(acl, action + "_restricted", class_name)
        return True

    @property
    def label(self):
        return f"{type(self).__name__} {self.data.get('id')}"


class Order(ShopDocument):
    hidden_fields = ("margin", "internal_note")


class Shipment(ShopDocument):
    hidden_fields = ("driver_phone",)


DOCUMENT_CLASSES = {cls.__name__: cls for cls in (Order, Shipment)}


def sample_events():
    """A fixed stream of (document, op, seq): the same every run, seq as zero-padded strings.

    Sequences are compared as strings by the broadcaster, hence the padding.
    """
    o1 = dict(id="A-1001", region="eu", customer="Ana Ortiz", status="new", total=120.0,
              currency="EUR", margin=31.5, internal_note="first order")
    o2 = dict(id="A-1002", region="us", customer="Bo Park", status="new", total=80.0,
              currency="USD", margin=12.0, internal_note="")
    o3 = dict(id="A-1003", region="eu", customer="Chloé Dubois", status="new", total=990.0,
              currency="EUR", margin=210.0, internal_note="disputed, legal hold",
              restricted=True)
    s1 = dict(id="S-501", region="eu", order="A-1001", status="packed", eta="2 days",
              driver_phone="+49 30 1234567")
    s2 = dict(id="S-502", region="us", order="A-1002", status="packed", eta="4 days",
              driver_phone="+1 555 0100")
    steps = [
        (Order, o1, "create"),
        (Order, o2, "create"),
        (Shipment, s1, "create"),
        (Order, dict(o1, status="paid"), "update"),
        (Order, o3, "create"),
        (Shipment, s2, "create"),
        (Order, dict(o2, status="paid", internal_note="paid by card"), "update"),
        (Shipment, dict(s1, status="in transit", eta="1 day"), "update"),
        (Order, dict(o3, status="cancelled"), "update"),
        (Order, dict(o2, status="paid"), "delete"),
        (Shipment, dict(s2, status="delivered", eta="-"), "update"),
        (Order, dict(o1, status="shipped"), "update"),
    ]
    return [(cls(**fields), op, f"{n:0{SEQ_WIDTH}d}")
            for n, (cls, fields, op) in enumerate(steps, 1)]


def expected_view(doc, seq, sub):
    """What a subscription should get for one event: ("sent", body) or ("skipped", reason).

    ``sub`` holds the subscription as the client asked for it plus its ``acl``; this mirrors the
    broadcaster's rules, so the demo can tell why a client got nothing.
    """
    if seq < sub.get("start_seq", ""):
        return "skipped", "before start"
    if not doc.check_acl(sub["acl"], "read", doc, False):
        return "skipped", "ACL"
    try:
        doc.check_scope(sub.get("data_scope"))
    except OutOfScopeError:
        return "skipped", "scope"
    body = doc.get_display_data(catalog=sub.get("catalog"),
                                show_hidden=sub.get("show_hidden", False))
    if not body:
        return "skipped", "empty"
    return "sent", body
