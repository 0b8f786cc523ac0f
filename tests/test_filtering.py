"""Document filtering: get_message_body and check_subscriber_acl on top of the engine."""
import pytest

import broadcast
import tolva_engine
from tolva_engine import Acl, Document, OutOfScopeError

B = broadcast.Broadcaster


class NarrowScope(OutOfScopeError):
    pass


def body(doc, scope=None, catalog=None, show_hidden=False):
    return B.get_message_body(doc, scope, catalog, show_hidden)


def ops(doc):
    return [call[0] for call in doc.calls]


def test_calls_are_made_in_order_with_the_documented_shapes():
    doc = Document({"id": 1})
    scope, catalog = ["a"], {"id": None}
    doc.override("check_scope", None).override("get_display_data", {"id": 1})
    assert body(doc, scope, catalog, True) == {"id": 1}
    assert doc.calls == [
        ("check_scope", (scope,), {}),
        ("get_display_data", (), {"catalog": catalog, "show_hidden": True}),
    ]
    assert doc.calls[0][1][0] is scope and doc.calls[1][2]["catalog"] is catalog


@pytest.mark.parametrize("error", [OutOfScopeError("out"), NarrowScope("narrow")])
def test_out_of_scope_from_check_scope_gives_none(error):
    doc = Document({"id": 1}).override("check_scope", raises=error)
    assert body(doc, ["x"]) is None
    assert ops(doc) == ["check_scope"]  # display data never asked


class Scope(list):
    """A data scope that counts how often it is written out."""
    shown = 0

    def __repr__(self):
        Scope.shown += 1
        return super().__repr__()


def test_an_out_of_scope_document_costs_no_repr_of_the_scope_unless_the_error_is_read():
    scope, Scope.shown = Scope(["eu"] * 1000), 0
    assert body(Document({"scope": "us"}, record=False), scope) is None
    assert Scope.shown == 0
    with pytest.raises(OutOfScopeError, match=r"^scope='us' is outside \['eu', 'eu'"):
        Document({"scope": "us"}).check_scope(scope)
    assert Scope.shown == 1


@pytest.mark.parametrize("error", [OutOfScopeError("out"), NarrowScope("narrow")])
def test_out_of_scope_from_display_data_gives_none(error):
    doc = Document({"id": 1}).override("get_display_data", raises=error)
    assert body(doc) is None
    assert ops(doc) == ["check_scope", "get_display_data"]


@pytest.mark.parametrize("scope_result", [False, None, 0, "no"])
def test_scope_result_is_ignored(scope_result):
    doc = Document({"id": 1}).override("check_scope", scope_result)
    assert body(doc) == {"id": 1}


@pytest.mark.parametrize("op", ["check_scope", "get_display_data"])
@pytest.mark.parametrize("error", [ValueError("bad"), KeyError("k"), tolva_engine.AuthorizationError("no")])
def test_other_errors_propagate(op, error):
    doc = Document({"id": 1}).override(op, raises=error)
    with pytest.raises(type(error)) as info:
        body(doc)
    assert info.value is error


@pytest.mark.parametrize("value", [{}, [], None, 0, "text", {"k": "v"}])
def test_display_data_is_returned_unchanged(value):
    doc = Document().override("get_display_data", value)
    assert body(doc) is value


def test_missing_operations_and_wrong_signatures_propagate():
    class NoScope:
        def get_display_data(self, **kw):
            return {}

    class PositionalDisplay:
        def check_scope(self, scope):
            pass

        def get_display_data(self, catalog, show_hidden, *, other):
            return {}

    with pytest.raises(AttributeError):
        body(NoScope())
    with pytest.raises(TypeError):
        body(PositionalDisplay())


def test_out_of_scope_error_is_read_from_the_module_when_matched(monkeypatch):
    doc = Document({"id": 1})
    monkeypatch.setattr(broadcast, "OutOfScopeError", LookupError)
    doc.override("check_scope", raises=KeyError("k"))  # a LookupError: now swallowed
    assert body(doc) is None
    doc.override("check_scope", raises=OutOfScopeError("engine's"))  # no longer swallowed
    with pytest.raises(OutOfScopeError):
        body(doc)
    monkeypatch.undo()
    assert body(doc) is None


def test_engine_filtering_through_the_broadcaster():
    doc = Document({"id": 7, "scope": "eu", "price": 3, "secret": "s"}, hidden=["secret"])
    assert body(doc) == {"id": 7, "scope": "eu", "price": 3}
    assert body(doc, ["eu", "us"], {"id": "", "secret": ""}, True) == {"id": 7, "secret": "s"}
    assert body(doc, ["us"]) is None
    assert body(doc, [], None, True) is None


# -- check_subscriber_acl ---------------------------------------------------------------------

@pytest.mark.parametrize("answer", [True, False, 1, 0, [], ["x"], None, "yes"])
def test_acl_check_returns_the_engine_answer_itself(answer):
    doc = Document().override("check_acl", answer)
    assert B.check_subscriber_acl(doc, Acl(["*"])) is answer


@pytest.mark.parametrize("acl", [None, Acl([]), Acl(["Document"]), "opaque"])
def test_acl_check_call_shape(acl):
    doc = Document().override("check_acl", True)
    B.check_subscriber_acl(doc, acl)
    assert len(doc.calls) == 1
    op, args, kwargs = doc.calls[0]
    assert op == "check_acl" and kwargs == {}
    assert args == (acl, "read", doc, False)
    assert args[0] is acl and args[2] is doc and args[3] is False


def test_acl_check_errors_propagate():
    err = RuntimeError("engine down")
    doc = Document().override("check_acl", raises=err)
    with pytest.raises(RuntimeError) as info:
        B.check_subscriber_acl(doc, None)
    assert info.value is err
    with pytest.raises(AttributeError):
        B.check_subscriber_acl(object(), None)


def test_filtering_methods_can_be_overridden_and_called_on_subclasses():
    class Invoice(Document):
        pass

    class Host(broadcast.Broadcaster):
        pass

    doc = Invoice({"id": 2, "scope": "eu"})
    assert Host.check_subscriber_acl(doc, Acl({"read": ["Invoice"]})) is True
    assert Host.check_subscriber_acl(doc, Acl({"write": ["Invoice"]})) is False
    assert Host.get_message_body(doc, ["eu"], ["id"], False) == {"id": 2}
