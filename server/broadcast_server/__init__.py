"""A websocket server that pushes document events through the ``broadcast`` module, and the
nodes that serve it at scale from one Redis stream.

* :mod:`.protocol`: the JSON protocol, sans I/O (requests, replies, seqs);
* :mod:`.server`: the websocket server; :mod:`.node`: a server fed by the stream, with catch-up;
* :mod:`.acl`: an API key's ACL from the authentication service, bounded in time;
* :mod:`.client`: a client that resumes on another node when its node goes away;
* :mod:`.stream`: the Redis side (entries, the feed, the publisher);
* :mod:`.watch`: ``GET /healthz`` and ``GET /metrics`` on the websocket port;
* :mod:`.errors`: every exception; :mod:`.config`: every setting, its default and its
  environment variable; :mod:`.logs`: the log formats.

``python -m broadcast_server`` runs a node or publishes an event.
"""
