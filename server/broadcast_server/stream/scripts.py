"""The scripts Redis runs for the stream, each in one step that nothing else interleaves with.

The stream's epoch is a random token kept beside the stream (``<stream>:epoch``). It is made
with the stream, and made anew whenever the stream is found missing (the key deleted, or a Redis
that lost its data): a position in the stream is an (epoch, seq) pair, and a seq from another
epoch names nothing in this one.
"""
from __future__ import annotations

import secrets

__all__ = ["APPEND", "ENSURE_EPOCH", "NEXT_EPOCH", "class_stream", "epoch_key", "event_key", "new_epoch"]


def class_stream(stream: str, doc_class: str) -> str:
    """The key of one document class's own stream, on a sharded Redis: ``{<stream>:<class>}``.
    The braces make it a hash tag, which the keys made from it keep (its epoch, its events'
    ids): the whole stream lives on one shard, where one script reaches all of it."""
    return f"{{{stream}:{doc_class}}}"


def epoch_key(stream: str) -> str:
    return f"{stream}:epoch"


def event_key(stream: str, event_id: str) -> str:
    return f"{stream}:event:{event_id}"


def new_epoch() -> str:
    """An epoch no other stream had: random, so that it holds across Redis servers and clocks."""
    return secrets.token_hex(8)


_EPOCH = """
local epoch = redis.call('GET', KEYS[2])
local exists = redis.call('EXISTS', KEYS[1]) == 1
local made = false
if not (epoch and exists) then
  epoch = ARGV[1]
  redis.call('SET', KEYS[2], epoch)
  made = true
end
"""

ENSURE_EPOCH = _EPOCH + """
if not exists then
  -- An empty stream, so that the first append keeps this epoch rather than making another.
  redis.call('XADD', KEYS[1], '0-1', 'made', epoch)
  redis.call('XDEL', KEYS[1], '0-1')
end
return epoch
"""
"""KEYS: the stream, its epoch; ARGV: a new epoch. Returns the stream's epoch, made (with an
empty stream) when there is none."""

APPEND = _EPOCH + """
if not made then
  -- An event whose id is known in this epoch was appended already: the reply was lost.
  local known = redis.call('GET', KEYS[3])
  if known then
    local space = string.find(known, ' ', 1, true)
    if string.sub(known, 1, space - 1) == epoch then
      return {string.sub(known, space + 1), epoch, 0}
    end
  end
end
local top = 0
if exists then
  local info = redis.call('XINFO', 'STREAM', KEYS[1])
  for i = 1, #info, 2 do
    if info[i] == 'last-generated-id' then
      top = tonumber(string.match(info[i + 1], '^(%d+)'))
    end
  end
end
local seq = ARGV[2]
local number
if seq == '' then
  number = top + 1
  seq = string.format('%0' .. ARGV[3] .. 'd', number)
else
  number = tonumber(seq)
  if number <= top then
    return redis.error_reply(string.format("seq %s is not after the stream's last (%d)", seq, top))
  end
end
redis.call('XADD', KEYS[1], 'MAXLEN', '~', ARGV[4], string.format('%d-0', number),
           'seq', seq, 'prev', string.format('%d', top), 'epoch', epoch, 'id', ARGV[6],
           unpack(ARGV, 7))
redis.call('SET', KEYS[3], epoch .. ' ' .. seq, 'EX', ARGV[5])
return {seq, epoch, 1}
"""
"""KEYS: the stream, its epoch, the event's id key; ARGV: a new epoch, the seq ("" for the one
after the stream's last), the seq's width, the stream's length, how long the id is remembered,
the event's id, then the event's fields and values. Returns (seq, epoch, 1 when appended now or
0 when it was already there)."""

NEXT_EPOCH = """
local epoch = redis.call('GET', KEYS[1])
if epoch == ARGV[1] then
  redis.call('SET', KEYS[1], ARGV[2])
  return ARGV[2]
end
return epoch
"""
"""KEYS: the stream's epoch; ARGV: the epoch the caller read, a new one. Makes the new one the
stream's epoch unless it changed already; returns the stream's epoch."""
