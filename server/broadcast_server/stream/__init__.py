"""The Redis side: one stream of document events with its epoch, the publisher that appends to
it (Redis numbering each event in a script) and the feed each node reads it with. Every node
reads the whole stream with blocking reads from the last ID it delivered, so nodes on other
machines only need to point at the same Redis."""
from .connection import DOWN, connect
from .entries import decode, encode, rebuilder
from .feed import Feed
from .publisher import OPS, Publisher

__all__ = ["DOWN", "connect", "decode", "encode", "rebuilder", "Feed", "OPS", "Publisher"]
