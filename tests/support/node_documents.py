"""The documents of the end-to-end tests: the shop's orders and shipments, plus an end marker that
every client may read. The multi-node tests' nodes load this file (``--documents``)."""
from broadcast_demo.shop import Order, Shipment
from tolva_engine import Document


class Marker(Document):
    """The end of a test's stream."""

    def __init__(self, **data):
        super().__init__(data or {"end": True}, record=False)

    def check_acl(self, *args):
        return True


DOCUMENT_CLASSES = {cls.__name__: cls for cls in (Order, Shipment, Marker)}
