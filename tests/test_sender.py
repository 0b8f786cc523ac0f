"""The send path without sockets: a connection whose transport is a list of writes, and the
library's own protocol objects to build and read frames, so every rule runs in microseconds."""
import asyncio
import logging

import pytest
from broadcast_server.sender import FELL_BEHIND_CLOSE_CODE, Sender, fell_behind_reason
from websockets.client import ClientProtocol
from websockets.frames import Opcode
from websockets.protocol import OPEN, State
from websockets.server import ServerProtocol


class Transport:
    def __init__(self):
        self.writes, self.aborted, self.fail = [], False, None

    def write(self, data):
        if self.fail:
            raise self.fail
        self.writes.append(bytes(data))

    def abort(self):
        self.aborted = True


class Connection:
    """What the sender uses of a ``websockets`` server connection: its protocol object, its
    transport, the transport's pause flag and the wait for it to resume."""

    close_timeout = 0.05
    remote_address = ("127.0.0.1", 50000)

    def __init__(self):
        self.protocol = ServerProtocol(state=OPEN)
        self.transport = Transport()
        self.paused = False
        self._resumed = asyncio.Event()

    def pause(self):
        self.paused = True
        self._resumed.clear()

    def resume(self):
        self.paused = False
        self._resumed.set()

    async def drain(self):
        if self.paused:
            await self._resumed.wait()

    def send_data(self):
        for data in self.protocol.data_to_send():
            if data:
                self.transport.write(data)

    def received(self):
        """What a client reads from everything written: (opcode, text or close) in order."""
        client = ClientProtocol(None, state=OPEN)
        client.receive_data(b"".join(self.transport.writes))
        out = []
        for frame in client.events_received():
            if frame.opcode is Opcode.TEXT:
                out.append(("text", frame.data.decode()))
            elif frame.opcode is Opcode.CLOSE:
                out.append(("close", client.close_rcvd.code, client.close_rcvd.reason))
        return out


def run(body):
    return asyncio.run(asyncio.wait_for(body(), 10))


def texts(conn):
    return [item[1] for item in conn.received() if item[0] == "text"]


@pytest.mark.parametrize("text", [
    "", "a", '{"doc_class": "Order", "message": {"customer": "Chloé"}}', "é" * 62 + "x",
    "x" * 125, "x" * 126, "x" * 65535, "x" * 65536, "東京 🍣" * 1000,
])
def test_shared_frame_is_the_frame_the_library_would_send(text):
    """The frame built once and written to every connection is byte for byte what the
    connection's own protocol object makes for that text (lengths cross each header size)."""
    twin = ServerProtocol(state=OPEN)
    twin.send_text(text.encode())
    conn = Connection()
    Sender().send(conn, text)
    assert conn.transport.writes == twin.data_to_send()


def test_messages_keep_their_order_through_the_outbox():
    async def body():
        sender, conn, other = Sender(), Connection(), Connection()
        sender.send(conn, "1")
        conn.pause()
        for text in "234":
            sender.send(conn, text)
            sender.send(other, text)  # the others are written at once meanwhile
        assert texts(conn) == ["1"] and texts(other) == ["2", "3", "4"]
        conn.paused = False  # the buffer drained, but the outbox has not been written yet:
        sender.send(conn, "5")  # a new message must not overtake it
        conn.resume()
        await asyncio.sleep(0)
        sender.send(conn, "6")
        await asyncio.sleep(0)
        assert texts(conn) == ["1", "2", "3", "4", "5", "6"]
        assert sender.outboxes == {} and sender.written == 9 and sender.dropped == 0
    run(body)


def test_pausing_again_midway_keeps_the_rest_waiting_in_order():
    async def body():
        sender, conn = Sender(), Connection()
        conn.pause()
        for text in "abcd":
            sender.send(conn, text)
        write = conn.transport.write

        def write_then_pause(data):
            write(data)
            if len(conn.transport.writes) == 2:
                conn.pause()
        conn.transport.write = write_then_pause
        conn.resume()
        await asyncio.sleep(0)
        assert texts(conn) == ["a", "b"] and sender.waiting() == 2 * len(conn.transport.writes[0])
        conn.resume()
        await asyncio.sleep(0)
        assert texts(conn) == ["a", "b", "c", "d"]
    run(body)


def test_a_client_past_its_bound_is_closed_once_with_1013_and_gets_nothing_more(caplog):
    async def body():
        frame_size = 2 + 100
        sender, conn, fine = Sender(bound=3 * frame_size), Connection(), Connection()
        sender.send(conn, "first")
        conn.pause()
        for i in range(3):  # exactly the bound
            sender.send(conn, f"{i}" * 100)
        assert sender.fell_behind == 0 and sender.waiting() == 3 * frame_size
        for i in range(5):  # past it
            sender.send(conn, "late")
            sender.send(fine, "late")
        assert conn.received() == [("text", "first"), ("close", FELL_BEHIND_CLOSE_CODE,
                                                       fell_behind_reason(3 * frame_size))]
        assert conn.protocol.state is State.CLOSING
        assert sender.fell_behind == 1 and sender.waiting() == 0 and len(texts(fine)) == 5
        assert len([r for r in caplog.records if "fell behind" in r.getMessage()]) == 1
        conn.resume()  # the transport drains: the outbox must not write after the close
        await asyncio.sleep(0)
        assert conn.received()[-1][0] == "close" and sender.outboxes == {}
        await asyncio.sleep(conn.close_timeout * 2)
        assert conn.transport.aborted  # it never answered the close
    caplog.set_level(logging.WARNING, "broadcast.send")
    run(body)


def test_a_connection_lost_while_waiting_drops_its_outbox():
    async def body():
        sender, conn = Sender(), Connection()
        conn.pause()
        sender.send(conn, "a")
        conn.protocol.receive_eof()  # the peer went away
        conn.resume()
        await asyncio.sleep(0)
        assert conn.transport.writes == [] and sender.outboxes == {} and sender.dropped == 1
        sender.send(conn, "b")
        assert conn.transport.writes == [] and sender.dropped == 2
    run(body)


@pytest.mark.parametrize("fault", ["closed", "write raises", "not a connection"])
def test_the_send_never_raises_into_the_fan_out(fault):
    sender, conn = Sender(), Connection()
    if fault == "closed":
        conn.protocol.receive_eof()
    elif fault == "write raises":
        conn.transport.fail = ConnectionResetError("reset")
    else:
        conn = object()
    sender.send(conn, "x")
    assert (sender.dropped, sender.failed) == ((1, 0) if fault == "closed" else (0, 1))


def test_several_events_in_one_turn_go_out_in_one_write_per_connection_in_order():
    """The first event of a turn is written at once; the others are held until the turn ends,
    then written in one call per connection: behind an outbox that formed meanwhile, and not at
    all to a connection closed meanwhile. One event a turn is never held."""
    async def body():
        sender, conn, paused, gone = Sender(), Connection(), Connection(), Connection()
        everyone = (conn, paused, gone)
        for text in "abc":
            sender.event_starts()
            for c in everyone:
                sender.send(c, text)
            if text == "a":
                assert [len(c.transport.writes) for c in everyone] == [1, 1, 1]
                paused.pause()
                sender.send(paused, "q")  # queued before the held frames
        gone.protocol.receive_eof()
        assert [len(c.transport.writes) for c in everyone] == [1, 1, 1]
        await asyncio.sleep(0)
        assert len(conn.transport.writes) == 2 and texts(conn) == ["a", "b", "c"]
        assert texts(gone) == ["a"] and sender.dropped == 2
        paused.resume()
        await asyncio.sleep(0)
        assert texts(paused) == ["a", "q", "b", "c"]
        for text in "de":  # a turn each
            sender.event_starts()
            sender.send(conn, text)
            await asyncio.sleep(0)
        assert len(conn.transport.writes) == 4 and sender.held is None
        assert sender.written == 3 + 2 + 3 + 2
    run(body)


def test_holding_writes_each_connection_once_and_a_close_waits_for_what_is_held():
    async def body():
        sender, conn, closing = Sender(), Connection(), Connection()
        with sender.holding():
            for text in "abc":
                sender.event_starts()
                sender.send(conn, text)
                sender.send(closing, text)
            assert conn.transport.writes == []
            assert await sender.flushed(closing, 1)  # what is held for it goes first
            assert texts(closing) == ["a", "b", "c"]
        assert len(conn.transport.writes) == 1 and texts(conn) == ["a", "b", "c"]
    run(body)

