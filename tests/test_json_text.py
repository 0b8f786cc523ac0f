"""The JSON text of send_json_async against json.dumps(content, ensure_ascii=False).

Random contents (seeded), json changed by the host in each way it can be, and the contents json
refuses: the text, or the exception with its message, must be json's own.
"""
import builtins
import collections
import enum
import importlib
import json
import math
import random
import sys
import types

import pytest

import broadcast
from support.broadcasting import Socket, run, subscribe_now
from tolva_engine import Document


def text_of(content):
    sent = []

    class Host(broadcast.Broadcaster):
        @classmethod
        async def send_message_async(cls, websocket, message):
            sent.append(message)

    run(Host.send_json_async(Socket("a"), content))
    assert len(sent) == 1 and type(sent[0]) is str
    return sent[0]


def expected(content):
    return json.dumps(content, ensure_ascii=False)


class Text(str):
    def __str__(self):
        return "not this"


class Number(int):
    def __repr__(self):
        return "not this"


class Real(float):
    def __repr__(self):
        return "not this"


class Items(list):
    def __iter__(self):
        return iter(["not", "these"])


class Pair(tuple):
    pass


class Mapping(dict):
    def items(self):
        return [("not", "these")]


class Level(enum.IntEnum):
    LOW = 1


class Colour(str, enum.Enum):
    RED = "réd"


CHARS = ["a", "Z", " ", "\"", "\\", "/", "\n", "\r", "\t", "\b", "\f", "\x00", "\x1f", "\x7f", "\x80",
         "é", "ÿ", "Ω", "€", "\u2028", "\u2029", "\ud800", "\udfff", "東", "\uffff", "😀", "\U0010ffff"]
FLOATS = [0.0, -0.0, 1.0, -1.5, 0.1, 1e16, 1e15, 123456789012345.6, 1e-4, 1e-5, 5e-324, 2.2250738585072014e-308,
          1.7976931348623157e308, math.pi, math.nan, math.inf, -math.inf, 1 / 3, 100.0, 1e22, 9007199254740993.0]
INTS = [0, -1, 2**31, -2**63, 2**63, 2**64 + 1, -(10**40), 10**400]


def random_content(rnd, depth=0):
    kind = rnd.randrange(13 if depth < 5 else 6)
    if kind == 0:
        return "".join(rnd.choice(CHARS) for _ in range(rnd.randrange(12)))
    if kind == 1:
        return rnd.choice(FLOATS + [rnd.uniform(-1e6, 1e6), rnd.random() * 10.0 ** rnd.randrange(-30, 30)])
    if kind == 2:
        return rnd.choice(INTS + [rnd.randrange(-10**6, 10**6)])
    if kind == 3:
        return rnd.choice([None, True, False])
    if kind == 4:
        return rnd.choice([Text("sub\u00e9\n"), Number(7), Real(2.5), Level.LOW, Colour.RED])
    if kind == 5:
        return rnd.choice([[], {}, (), Items([1]), Pair((1, "x")), Mapping(a=1), collections.OrderedDict(b=2)])
    if kind in (6, 7):
        return [random_content(rnd, depth + 1) for _ in range(rnd.randrange(5))]
    if kind == 8:
        return tuple(random_content(rnd, depth + 1) for _ in range(rnd.randrange(4)))
    keys = [lambda: random_content(rnd, 5) if rnd.random() < 0.6 else "k", lambda: rnd.choice(INTS[:6]),
            lambda: rnd.choice(FLOATS), lambda: rnd.choice([None, True, False, Level.LOW, Text("t"), Number(3)])]
    content = {}
    for _ in range(rnd.randrange(6)):
        key = rnd.choice(keys)()
        content[key if isinstance(key, (str, int, float, type(None))) else "k"] = random_content(rnd, depth + 1)
    return content


def test_random_contents_give_json_text():
    rnd = random.Random(20240611)
    for _ in range(400):
        content = random_content(rnd)
        assert text_of(content) == expected(content), content


def test_each_character_width_and_long_strings():
    for content in (["é" * 300, "東" * 300, "😀" * 300], {"ascii": "x" * 5000, "later": "東"}, "\x01" * 2000,
                    [1.5, "😀"], {"😀": ["é", "東"]}, [Level.LOW, "ascii only"]):
        assert text_of(content) == expected(content)


def test_nesting_deeper_than_the_encoder_goes_itself():
    content = []
    for _ in range(700):
        content = [content, {"a": 1.5}]
    assert text_of(content) == expected(content)


# ---- the host changes json: the text is what the changed json gives ----

def outcome(make_text):
    try:
        return make_text()
    except Exception as exc:
        return type(exc), str(exc)


def default_for_sets(self, obj):
    return sorted(obj) if isinstance(obj, set) else json.JSONEncoder.default(self, obj)


def init_sorted(self, *, skipkeys=False, ensure_ascii=True, check_circular=True, allow_nan=True, sort_keys=False,
                indent=None, separators=None, default=None):
    self.skipkeys, self.ensure_ascii, self.check_circular = skipkeys, ensure_ascii, check_circular
    self.allow_nan, self.sort_keys, self.indent = allow_nan, True, indent


def dumps_code(obj, *, skipkeys=False, ensure_ascii=True, check_circular=True, allow_nan=True, cls=None,
               indent=None, separators=None, default=None, sort_keys=False, **kw):
    return "code replaced"


class SortingEncoder(json.JSONEncoder):
    def __init__(self, **kwargs):
        super().__init__(**dict(kwargs, sort_keys=True))


class ModuleWithHook(types.ModuleType):
    def __getattribute__(self, name):
        if name == "dumps":
            return lambda content, ensure_ascii: "through the module's class"
        return super().__getattribute__(name)


class ReprRefused(type):
    def __getattribute__(cls, name):
        if name == "__repr__":
            raise AttributeError("no __repr__ here")
        return super().__getattribute__(name)


class FloatWithoutRepr(float, metaclass=ReprRefused):
    pass


class ChunkEncoder:
    def __init__(self, *settings):
        pass

    def __call__(self, obj, level):
        return ["from another _json"]


def c_json_like(**names):
    module = types.ModuleType("_json")
    original = sys.modules["_json"]
    vars(module).update(make_encoder=original.make_encoder, encode_basestring=original.encode_basestring)
    vars(module).update(names)
    return module


def c_json_copy_broken():
    original = sys.modules.pop("_json")
    try:
        copy = importlib.import_module("_json")
    finally:
        sys.modules["_json"] = original
    new = vars(copy.make_encoder)["__new__"]
    copy.make_encoder.__new__ = staticmethod(lambda cls, *settings: None)
    copy.make_encoder.__new__ = new  # put back, yet the class no longer makes encoders
    return copy


def c_json_replaced(mp, replacement):
    mp.setitem(sys.modules, "_json", replacement)
    mp.setattr(json.encoder, "c_make_encoder", replacement.make_encoder)
    mp.setattr(json.encoder, "encode_basestring", replacement.encode_basestring)


CHANGES = {
    "item_separator": lambda mp: mp.setattr(json.JSONEncoder, "item_separator", " ; "),
    "key_separator": lambda mp: mp.setattr(json.JSONEncoder, "key_separator", " = "),
    "kwdefaults edited": lambda mp: mp.setitem(json.dumps.__kwdefaults__, "sort_keys", True),
    "kwdefaults replaced": lambda mp: mp.setattr(json.dumps, "__kwdefaults__",
                                                 dict(json.dumps.__kwdefaults__, indent=1)),
    "dumps replaced": lambda mp: mp.setattr(json, "dumps", lambda content, **kw: "replaced"),
    "dumps code replaced": lambda mp: mp.setattr(json.dumps, "__code__", dumps_code.__code__),
    "module's json rebound": lambda mp: mp.setattr(broadcast, "json", types.SimpleNamespace(
        dumps=lambda content, ensure_ascii: "rebound")),
    "json module's class": lambda mp: mp.setattr(json, "__class__", ModuleWithHook),
    "JSONEncoder rebound": lambda mp: mp.setattr(json, "JSONEncoder", SortingEncoder),
    "default patched": lambda mp: mp.setattr(json.JSONEncoder, "default", default_for_sets),
    "encode patched": lambda mp: mp.setattr(json.JSONEncoder, "encode", lambda self, obj: "encode patched"),
    "__getattribute__ added": lambda mp: mp.setattr(json.JSONEncoder, "__getattribute__", lambda self, name: (
        "|" if name == "item_separator" else object.__getattribute__(self, name)), raising=False),
    "__init__ code replaced": lambda mp: mp.setattr(json.JSONEncoder.__init__, "__code__", init_sorted.__code__),
    "encode_basestring": lambda mp: mp.setattr(json.encoder, "encode_basestring", lambda s: '"S"'),
    "c_make_encoder": lambda mp: mp.setattr(json.encoder, "c_make_encoder", None),
    "C encoder's class": lambda mp: mp.setattr(json.encoder.c_make_encoder, "__call__",
                                               lambda self, obj, level: ("C encoder patched",)),
    "isinstance shadowed": lambda mp: mp.setattr(json.encoder, "isinstance", lambda obj, kinds: True,
                                                 raising=False),
    "INFINITY rebound": lambda mp: mp.setattr(json.encoder, "INFINITY", "inf"),
    "float shadowed": lambda mp: mp.setattr(json.encoder, "float", FloatWithoutRepr, raising=False),
    "builtins.float rebound": lambda mp: mp.setattr(builtins, "float", FloatWithoutRepr),
    "_json's make_encoder replaced": lambda mp: c_json_replaced(mp, c_json_like(make_encoder=ChunkEncoder)),
    "_json's encode_basestring replaced": lambda mp: c_json_replaced(mp, c_json_like(
        encode_basestring=lambda s: '"S"')),
    "C encoder's __new__ set and put back": lambda mp: c_json_replaced(mp, c_json_copy_broken()),
}


@pytest.mark.parametrize("change", CHANGES)
def test_host_changes_to_json_are_followed(change, monkeypatch):
    content = {"b": [1.5, "é", None, {"y": True}], "a": "x\n"}
    before = text_of(content)
    assert before == expected(content)
    with monkeypatch.context() as mp:
        CHANGES[change](mp)
        want = outcome(lambda: broadcast.json.dumps(content, ensure_ascii=False))
        assert want != before or change in ("c_make_encoder", "default patched")
        assert outcome(lambda: text_of(content)) == want
        if change == "default patched":
            assert text_of({"s": {3, 1, 2}}) == '{"s": [1, 2, 3]}'
    assert text_of(content) == before


def test_host_change_seen_at_the_next_subscriber(monkeypatch):
    sent = []

    class Host(broadcast.Broadcaster):
        active_connections = {}

        @classmethod
        async def send_message_async(cls, websocket, message):
            sent.append(message)
            monkeypatch.setattr(json.JSONEncoder, "item_separator", ";")

    for name in "ab":
        subscribe_now(Host, Socket(name), "Document")
    run(Host.document_sent_async(Document({"n": [1, 2]}), "update", "0001"))
    assert sent[0].endswith('"message": {"n": [1, 2]}}')
    assert sent[1].endswith('"message": {"n": [1;2]}}')


# ---- what json refuses, refused with json's own exception and message ----

def circular_list():
    content = [1]
    content.append([content])
    return content


def circular_dict():
    content = {"a": 1}
    content["b"] = {"c": content}
    return content


def deep(levels):
    content = None
    for _ in range(levels):
        content = {"x": [content]}
    return content


@pytest.mark.parametrize("make", [
    lambda: {"a": object()},
    lambda: [1, {2, 3}],
    lambda: {("tuple", "key"): 1},
    lambda: {"nested": {b"bytes key": 1}},
    lambda: {"a": [1, 2j]},
    circular_list,
    circular_dict,
    lambda: deep(sys.getrecursionlimit()),
    lambda: [10 ** 5000],
    lambda: {10 ** 5000: "key"},
], ids=["object", "set", "tuple key", "bytes key", "complex", "circular list", "circular dict", "too deep",
        "long int", "long int key"])
def test_refusals_are_jsons_own(make):
    content = make()
    with pytest.raises(Exception) as refused:
        json.dumps(content, ensure_ascii=False)
    with pytest.raises(type(refused.value)) as ours:
        text_of(content)
    assert str(ours.value) == str(refused.value)


def test_int_digit_limit_is_read_at_each_call():
    content = {"n": 10 ** 1000}
    old = sys.get_int_max_str_digits()
    try:
        sys.set_int_max_str_digits(640)
        with pytest.raises(ValueError) as ours:
            text_of(content)
        assert "Exceeds the limit (640 digits)" in str(ours.value)
        sys.set_int_max_str_digits(0)
        assert text_of(content) == expected(content)
    finally:
        sys.set_int_max_str_digits(old)
