"""The send path: every message to a client goes out at once or waits in that client's outbox,
and the fan-out never waits on any one client.

A message is written to the socket as soon as it is handed over while the connection's outgoing
buffer is below its high-water mark (the transport has not paused writing), exactly as the
``websockets`` library's own ``broadcast()`` does (uvloop's transport hands it to the socket
there and then when nothing waits in it). Otherwise it joins the connection's outbox, in order,
behind the messages already waiting there; a task of that connection writes them when the socket
drains. A connection whose outbox would pass its bound in bytes has fallen behind: it is
closed with 1013 (try again later), counted and logged once, and gets nothing more.

Several events in one turn of the event loop (a burst of publishes, a stream read that brought
several) are written together: the first event of a turn goes out at once, as above; from the
second on, each connection's frames are held until the turn ends (or :data:`HELD_EVENTS` events
are held), then written in one call per connection, each still a frame of its own, in order. A
caller that knows it has several events in hand holds them all (:meth:`Sender.holding`).
"""
from __future__ import annotations

import asyncio
import collections
import contextlib
import logging

from websockets.frames import Frame, Opcode
from websockets.protocol import OPEN, State

from . import config

__all__ = ["Sender", "FELL_BEHIND_CLOSE_CODE", "fell_behind_reason"]

log = logging.getLogger("broadcast.send")

FELL_BEHIND_CLOSE_CODE = 1013
"""The close code for a client that fell behind: try again later (it resumes on reconnecting)."""

SHARED_FRAMES = 256
"""Distinct message texts whose frames are kept for the other subscribers of the same event."""

HELD_EVENTS = 16
"""Events whose frames are held at most before they are written, each connection's in one call:
what the held frames take stays small (a reference per frame and connection)."""


def fell_behind_reason(bound: int) -> str:
    return f"fell behind: over {bound} bytes waiting to be sent"


class Outbox:
    """What one connection could not take yet: frames in order, their bytes, the task that
    writes them as the socket drains."""

    __slots__ = ("frames", "size", "task")

    def __init__(self):
        self.frames: collections.deque[bytes] = collections.deque()
        self.size = 0
        self.task: asyncio.Task | None = None


class Sender:
    """Writes text messages to ``websockets`` server connections; :meth:`send` never raises and
    never waits.

    Connections without extensions (no compression) get the same bytes for the same text, so a
    frame is built once per distinct text and shared: a frame depends on nothing but its text
    then, so the shared frames never go stale. A connection with compression has a frame of its
    own made by its protocol object, which keeps its compression context in order.
    """

    def __init__(self, bound: int = config.SEND_QUEUE_BYTES):
        self.bound = bound
        self.outboxes: dict[object, Outbox] = {}
        self.frames: dict[str, bytes] = {}
        self.written = 0  # frames written to a socket
        self.dropped = 0  # messages for a connection that was no longer open
        self.fell_behind = 0  # connections closed for passing the bound
        self.failed = 0  # sends that hit something unexpected (logged)
        # Frames held until the turn ends, per connection in order (None: nothing is held).
        self.held: dict[object, list[bytes]] | None = None
        self.held_events = 0  # events whose frames are held
        self.holders = 0  # callers holding every frame until they are done (holding())
        self.in_turn = False  # an event went out in this turn of the loop

    def send(self, websocket, text: str) -> None:
        """Write ``text`` to ``websocket`` as a text frame now, or queue it behind what waits."""
        try:
            protocol = websocket.protocol
            if protocol.state is not OPEN:
                self.dropped += 1
                return
            if protocol.extensions:
                protocol.send_text(text.encode())
                frame = b"".join(protocol.data_to_send())
            else:
                frame = self.frames.get(text)
                if frame is None:
                    frame = self._shared_frame(text)
            if self.held is not None:
                # Behind what is held for it, or queued: flushing sees to both, in order.
                frames = self.held.get(websocket)
                if frames is None:
                    self.held[websocket] = [frame]
                else:
                    frames.append(frame)
            elif websocket.paused or websocket in self.outboxes:
                self._queue(websocket, frame)
            else:
                websocket.transport.write(frame)
                self.written += 1
        except Exception:  # the fan-out goes on whatever happens to one connection
            self.failed += 1
            log.exception("sending to %s failed", _peer(websocket))

    def event_starts(self) -> None:
        """Told as each event's fan-out starts: from the second event in one turn of the loop on,
        the frames are held until the turn ends (or :data:`HELD_EVENTS` are held)."""
        if self.held is not None:
            self.held_events += 1
            if self.held_events > HELD_EVENTS:
                self.flush()
                self.held, self.held_events = {}, 1
        elif self.in_turn:
            self.held, self.held_events = {}, 1
        else:
            self.in_turn = True
            asyncio.get_running_loop().call_soon(self._turn_ended)

    def _turn_ended(self) -> None:
        self.in_turn = False
        if not self.holders:
            self.flush()

    @contextlib.contextmanager
    def holding(self):
        """Hold every frame until the block ends, then write each connection's in one call: for
        a caller with several events in hand (a stream read that brought several)."""
        self.holders += 1
        if self.held is None:
            self.held, self.held_events = {}, 0
        try:
            yield
        finally:
            self.holders -= 1
            if not self.holders:
                self.flush()

    def flush(self) -> None:
        """Write every held frame: one call per connection, its frames in order (behind its
        outbox, when it has one)."""
        held, self.held, self.held_events = self.held, None, 0
        if not held:
            return
        for websocket, frames in held.items():
            self._write_held(websocket, frames)

    def _write_held(self, websocket, frames: list[bytes]) -> None:
        try:
            if websocket.protocol.state is not OPEN:
                self.dropped += len(frames)
            elif websocket.paused or websocket in self.outboxes:
                for i, frame in enumerate(frames):
                    if websocket.protocol.state is not OPEN:  # closed for falling behind
                        self.dropped += len(frames) - i
                        break
                    self._queue(websocket, frame)
            else:
                websocket.transport.write(frames[0] if len(frames) == 1 else b"".join(frames))
                self.written += len(frames)
        except Exception:
            self.failed += 1
            log.exception("sending to %s failed", _peer(websocket))

    async def flushed(self, websocket, timeout: float) -> bool:
        """Wait (at most ``timeout`` seconds) until nothing waits in ``websocket``'s outbox;
        False when something still does."""
        if self.held is not None and websocket in self.held:
            self._write_held(websocket, self.held.pop(websocket))
        outbox = self.outboxes.get(websocket)
        if outbox is not None and outbox.task is not None:
            try:
                await asyncio.wait_for(asyncio.shield(outbox.task), timeout)
            except asyncio.TimeoutError:
                return False
        return True

    def close_fallen_behind(self, websocket) -> None:
        """Close ``websocket`` with 1013, as one whose outbox passed its bound: it took too
        little of it for too long (nothing when it is not open)."""
        if websocket.protocol.state is OPEN:
            outbox = self.outboxes.get(websocket) or Outbox()
            self._close_fallen_behind(websocket, outbox)

    def waiting(self) -> int:
        """Bytes waiting in every outbox."""
        return sum(outbox.size for outbox in self.outboxes.values())

    def _shared_frame(self, text: str) -> bytes:
        if len(self.frames) >= SHARED_FRAMES:
            self.frames.clear()
        frame = self.frames[text] = Frame(Opcode.TEXT, text.encode()).serialize(
            mask=False, extensions=[])
        return frame

    def _queue(self, websocket, frame: bytes) -> None:
        outbox = self.outboxes.get(websocket)
        if outbox is None:
            outbox = self.outboxes[websocket] = Outbox()
            outbox.task = asyncio.get_running_loop().create_task(self._drain(websocket, outbox))
        if outbox.size + len(frame) > self.bound:
            self._close_fallen_behind(websocket, outbox, len(frame))
            return
        outbox.frames.append(frame)
        outbox.size += len(frame)

    async def _drain(self, websocket, outbox: Outbox) -> None:
        try:
            while outbox.frames:
                # Returns once the transport resumes writing, or the connection is lost.
                await websocket.drain()
                if websocket.protocol.state is not OPEN:
                    break
                write = websocket.transport.write
                while outbox.frames and not websocket.paused:
                    frame = outbox.frames.popleft()
                    outbox.size -= len(frame)
                    write(frame)
                    self.written += 1
        except Exception:  # the connection was lost: its handler sees that and disconnects it
            pass
        finally:
            self.dropped += len(outbox.frames)
            outbox.frames.clear()
            outbox.size = 0
            if self.outboxes.get(websocket) is outbox:
                del self.outboxes[websocket]

    def _close_fallen_behind(self, websocket, outbox: Outbox, more: int = 0) -> None:
        self.fell_behind += 1
        self.dropped += len(outbox.frames) + 1
        # The message that did not fit is named too: one larger than the bound does it alone.
        log.warning("%s fell behind: %d bytes waiting%s, bound %d; closing it with %d",
                    _peer(websocket), outbox.size, f" and a message of {more}" if more else "",
                    self.bound, FELL_BEHIND_CLOSE_CODE)
        outbox.frames.clear()
        outbox.size = 0
        # The close frame goes behind what the transport holds; the state is no longer OPEN,
        # so nothing is written after it.
        websocket.protocol.send_close(FELL_BEHIND_CLOSE_CODE, fell_behind_reason(self.bound))
        websocket.send_data()
        # A client that never reads never answers the close: drop the TCP connection after the
        # connection's close timeout, as the library does when its closing handshake times out.
        timeout = websocket.close_timeout or config.SEND_CLOSE_TIMEOUT
        asyncio.get_running_loop().call_later(timeout, _abort_unless_closed, websocket)


def _abort_unless_closed(websocket) -> None:
    if websocket.protocol.state is not State.CLOSED:
        websocket.transport.abort()


def _peer(websocket) -> str:
    peer = getattr(websocket, "remote_address", None)
    return f"{peer[0]}:{peer[1]}" if isinstance(peer, tuple) else str(peer)
