"""The live demo of the broadcast server (``python -m broadcast_demo``, which ``./run-demo``
runs), and what it stands up around the server:

* :mod:`.scenario`: the clients, their subscriptions, what each should see, the verdict;
* :mod:`.accounts`: the demo's API keys and their ACLs, which the auth service knows too;
* :mod:`.single` and :mod:`.nodes`: the run on one server, and across nodes fed by Redis;
* :mod:`.table`: the terminal output; :mod:`.shop`: the shop's documents and events;
* :mod:`.auth_service`: a stand-in authentication service; :mod:`.local_redis`: a throw-away
  redis-server.
"""
