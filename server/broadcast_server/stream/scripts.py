"""The scripts Redis runs for the stream, each in one step that nothing else interleaves with.

The stream's epoch is a random token kept beside the stream (``<stream>:epoch``). It is made
with the stream, and made anew whenever the stream is found missing (the key deleted, or a Redis
that lost its data): a position in the stream is an (epoch, seq) pair, and a seq from another
epoch names nothing in this one. Whoever makes the stream (a node or a publisher) also keeps its
seq width beside it (``<stream>:meta``); every script checks the caller's against it.
"""
from __future__ import annotations

import secrets

__all__ = ["APPEND", "ENSURE_EPOCH", "NEXT_EPOCH", "class_stream", "epoch_key", "meta_key",
           "event_key", "new_epoch"]


def class_stream(stream: str, doc_class: str) -> str:
    """The key of one document class's own stream, on a sharded Redis: ``{<stream>:<class>}``.
    The braces make it a hash tag, which the keys made from it keep (its epoch, its events'
    ids): the whole stream lives on one shard, where one script reaches all of it."""
    return f"{{{stream}:{doc_class}}}"



def epoch_key(stream: str) -> str:
    return f"{stream}:epoch"


def meta_key(stream: str) -> str:
    """The hash of the facts every node and publisher of the stream must agree on: its seqs'
    width (``seq_width``)."""
    return f"{stream}:meta"


def event_key(stream: str, event_id: str) -> str:
    return f"{stream}:event:{event_id}"


def new_epoch() -> str:
    """An epoch no other stream had: random, so that it holds across Redis servers and clocks."""
    return secrets.token_hex(8)


_LAST_GENERATED = """
local function last_generated(stream)
  if redis.call('EXISTS', stream) == 0 then
    return 0
  end
  local info = redis.call('XINFO', 'STREAM', stream)
  for i = 1, #info, 2 do
    if info[i] == 'last-generated-id' then
      return tonumber(string.match(info[i + 1], '^(%d+)'))
    end
  end
  return 0
end
"""
"""Lua: ``last_generated(stream)``, the number of the last ID the stream ever had (0 when there
is no stream)."""


def _epoch(meta: str, width: str) -> str:
    """The part every script starts with: the stream's epoch (``epoch``, made anew with an
    empty stream when there is none: ``made``), and the check of the caller's seq width
    against the one kept with the stream (in the hash ``meta``). ``width`` is the caller's."""
    return _LAST_GENERATED + f"""
local META, WIDTH = {meta}, {width}
local epoch = redis.call('GET', KEYS[2])
local exists = redis.call('EXISTS', KEYS[1]) == 1
local made = false
if not (epoch and exists) then
  epoch = ARGV[1]
  redis.call('SET', KEYS[2], epoch)
  redis.call('DEL', META)
  if exists then
    -- The epoch was lost, not the stream: the new epoch's events come after those it holds.
    redis.call('HSET', META, 'epoch_start', last_generated(KEYS[1]))
  else
    -- An empty stream, so that the next script keeps this epoch rather than making another.
    redis.call('XADD', KEYS[1], '0-1', 'made', epoch)
    redis.call('XDEL', KEYS[1], '0-1')
  end
  made = true
end
local width = redis.call('HGET', META, 'seq_width')
if not width then
  -- Made now, or kept from before its width was: the width of its last seq, else the caller's.
  width = WIDTH
  local last = redis.call('XREVRANGE', KEYS[1], '+', '-', 'COUNT', 1)
  if last[1] then
    local fields = last[1][2]
    for i = 1, #fields, 2 do
      if fields[i] == 'seq' then width = tostring(string.len(fields[i + 1])) end
    end
  end
  redis.call('HSET', META, 'seq_width', width)
end
if width ~= WIDTH then
  return redis.error_reply('MISMATCH the stream ' .. KEYS[1] .. ' has seqs of ' .. width ..
                           ' digits, not ' .. WIDTH .. ': start with --seq-width ' .. width)
end
"""


ENSURE_EPOCH = _epoch("KEYS[3]", "ARGV[2]") + """
return {epoch, redis.call('HGET', META, 'epoch_start') or '0'}
"""
"""KEYS: the stream, its epoch, its facts; ARGV: a new epoch, the caller's seq width. Returns the
stream's epoch, made (with an empty stream) when there is none, and the number of the seq its
events come after (0 but for an epoch given to a stream that held events already); an error
``MISMATCH ...`` when the stream's seqs are of another width."""

APPEND = _epoch("KEYS[4]", "ARGV[3]") + """
if ARGV[7] ~= '' and ARGV[7] ~= epoch then
  -- Not the stream the publisher appended to last: what it had acknowledged may be gone.
  return redis.error_reply('EPOCH ' .. epoch)
end
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
local top = last_generated(KEYS[1])
local seq = ARGV[2]
local number
if seq == '' then
  number = top + 1
  seq = string.format('%0' .. ARGV[3] .. 'd', number)
  if string.len(seq) > tonumber(ARGV[3]) then
    return redis.error_reply(string.format('FULL %d', top))
  end
else
  number = tonumber(seq)
  if number <= top then
    return redis.error_reply(string.format("seq %s is not after the stream's last (%d)", seq, top))
  end
end
redis.call('XADD', KEYS[1], 'MAXLEN', '~', ARGV[4], string.format('%d-0', number),
           'seq', seq, 'prev', string.format('%d', top), 'epoch', epoch, 'id', ARGV[6],
           unpack(ARGV, 8))
redis.call('SET', KEYS[3], epoch .. ' ' .. seq, 'EX', ARGV[5])
return {seq, epoch, 1}
"""
"""KEYS: the stream, its epoch, the event's id key, the stream's facts; ARGV: a new epoch, the
seq ("" for the one after the stream's last), the seq's width, the stream's length, how long
the id is remembered, the event's id, the epoch the publisher last appended to ("" for any),
then the event's fields and values. Returns (seq, epoch, 1 when appended now or 0 when it was
already there); errors: ``MISMATCH ...`` (another seq width), ``EPOCH <epoch>`` (the stream is
of another epoch than the one expected; nothing appended), ``FULL <last seq>`` (no seq of the
width is left after the last one)."""

NEXT_EPOCH = _LAST_GENERATED + """
local epoch = redis.call('GET', KEYS[1])
if epoch == ARGV[1] then
  redis.call('SET', KEYS[1], ARGV[2])
  -- The stream is kept: the new epoch's events come after those it holds.
  redis.call('HSET', KEYS[3], 'epoch_start', last_generated(KEYS[2]))
  return ARGV[2]
end
return epoch
"""
"""KEYS: the stream's epoch, the stream, its facts; ARGV: the epoch the caller read, a new one.
Makes the new one the stream's epoch unless it changed already; returns the stream's epoch."""
