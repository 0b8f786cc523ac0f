"""Initialisation of the extension module, each case in a fresh interpreter.

A single-phase extension module is initialised at most once per process, so every import scenario runs
in its own child process, with a copy of the built extension in a temporary directory (or package) and,
where needed, a hostile stand-in engine package placed in front of the usual one.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import broadcast
from support.expected_surface import MODULE_NAMES, extension_path, native_only

pytestmark = native_only

SO_PATH = None if os.environ.get("BROADCAST_IMPL") == "reference" else extension_path(broadcast)

PRELUDE = '''
import builtins, importlib, json, os, sys, traceback
RAISED = []

class Boom(Exception):
    pass

def boom(text):
    exc = Boom(text)
    RAISED.append(exc)
    raise exc

def attempt(name="broadcast"):
    try:
        module = importlib.import_module(name)
    except BaseException as exc:
        return {"ok": False, "type": type(exc).__name__, "msg": str(exc),
                "tb": [[f.name, f.filename, f.lineno] for f in traceback.extract_tb(exc.__traceback__)],
                "left": sorted(k for k in sys.modules if k.rpartition(".")[2] == "broadcast"),
                "same_exc": bool(RAISED) and exc is RAISED[-1]}
    B = module.Broadcaster
    return {"ok": True, "name": module.__name__, "file": module.__file__,
            "names": [n for n in vars(module) if not n.startswith("__")],
            "classmethods": all(type(vars(B)[n]) is builtins.classmethod for n in
                                ("accept", "get_message_body", "check_subscriber_acl", "document_sent_async")),
            "left": sorted(k for k in sys.modules if k.rpartition(".")[2] == "broadcast")}

def emit(**kw):
    print(json.dumps(kw))

# The module's two from-imports, written as Python, to learn what the interpreter itself says.
PYTHON_FROM_IMPORTS = """
from tolva_engine import Base, Document
from tolva_engine import OutOfScopeError, AuthorizationError
"""
'''

ENGINE_TEMPLATE = '''
class Base:
    pass

class Document(Base):
    pass

class OutOfScopeError(Exception):
    pass

class AuthorizationError(Exception):
    pass
'''


def _require_extension():
    if SO_PATH is None:
        pytest.skip("native extension not found")


def run_child(body, cwd, paths=(), own_engine=False):
    """Run PRELUDE + body in a fresh interpreter with `paths` in front; return the last line it printed, decoded.

    With own_engine the usual engine stand-in is taken off the path, so that a test's engine is the only one.
    """
    env = dict(os.environ)
    inherited = [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    if own_engine:
        inherited = [p for p in inherited if os.path.basename(os.path.normpath(p)) != "engine_standin"]
    env["PYTHONPATH"] = os.pathsep.join([str(p) for p in paths] + inherited)
    proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)], cwd=str(cwd), env=env,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.fixture
def lib(tmp_path):
    """A directory holding a copy of the extension; prepend it to the child's path."""
    _require_extension()
    directory = tmp_path / "lib"
    directory.mkdir()
    shutil.copy(SO_PATH, directory / os.path.basename(SO_PATH))
    return directory


def expected_file(directory):
    return str(directory) + os.sep + "broadcast.py"


def engine_without(name):
    """The minimal engine source with `name` renamed out of reach."""
    return re.sub(rf"\b{name}\b", "_" + name, ENGINE_TEMPLATE)


def write_engine(root, *pieces):
    """Write tolva_engine/__init__.py under root from source pieces (each dedented on its own)."""
    package = root / "tolva_engine"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text("\n".join(textwrap.dedent(piece) for piece in pieces))
    return package / "__init__.py"


def ours(result, directory):
    """The traceback entries that the module reports for itself, as (name, line)."""
    return [(name, line) for name, filename, line in result["tb"] if filename == expected_file(directory)]


def assert_clean_success(result, directory, name="broadcast"):
    assert result["ok"], result
    assert result["name"] == name
    assert result["file"] == expected_file(directory)
    assert result["names"] == list(MODULE_NAMES)
    assert result["classmethods"]
    assert result["left"] == [name]


# --------------------------------------------------------------------------------------------- success


@pytest.mark.parametrize("in_thread", [False, True], ids=["main-thread", "worker-thread"])
def test_double_import_gives_one_module_and_one_registry(lib, tmp_path, in_thread):
    result = run_child(f'''
        import threading
        out = {{}}
        def go():
            import broadcast as a
            out["file_right_away"] = a.__file__
            b = importlib.import_module("broadcast")
            c = __import__("broadcast")
            from broadcast import Broadcaster
            out["same_module"] = a is b is c is sys.modules["broadcast"]
            out["same_class"] = Broadcaster is a.Broadcaster
            out["same_registry"] = b.Broadcaster.active_connections is a.Broadcaster.active_connections
            out["registry_empty"] = a.Broadcaster.active_connections == {{}}
            out["doc"], out["cached"] = a.__doc__, a.__cached__
            out["dunders"] = sorted(n for n in vars(a) if n.startswith("__"))
        if {in_thread}:
            t = threading.Thread(target=go)
            t.start()
            t.join()
        else:
            go()
        out["after"] = attempt()
        emit(**out)
    ''', tmp_path, [lib])
    assert result["file_right_away"] == expected_file(lib)
    assert result["same_module"] and result["same_class"] and result["same_registry"]
    assert result["registry_empty"]
    assert result["doc"] is None and result["cached"] is None
    assert "__getattr__" not in result["dunders"]
    assert_clean_success(result["after"], lib)


def test_reimport_after_removal_from_sys_modules(lib, tmp_path):
    result = run_child('''
        import broadcast as first
        del sys.modules["broadcast"]
        import broadcast as second
        emit(again=attempt(), same_class=second.Broadcaster is first.Broadcaster,
             same_registry=second.Broadcaster.active_connections is first.Broadcaster.active_connections,
             doc=second.__doc__, cached=second.__cached__, first_file=first.__file__)
    ''', tmp_path, [lib])
    assert_clean_success(result["again"], lib)
    assert result["first_file"] == expected_file(lib)
    assert result["same_class"] and result["same_registry"]
    assert result["doc"] is None and result["cached"] is None


def package_holding_the_module(tmp_path):
    """A package "pkg" under tmp_path with a copy of the built module in it."""
    _require_extension()
    package = tmp_path / "pkg"
    package.mkdir()
    (package / "__init__.py").write_text("")
    shutil.copy(SO_PATH, package / os.path.basename(SO_PATH))
    return package


def test_import_as_submodule_of_a_package(tmp_path):
    package = package_holding_the_module(tmp_path)
    result = run_child('''
        import pkg.broadcast as m
        from pkg import broadcast as m2
        B = m.Broadcaster
        funcs = [m.auth_required, m.auth_required_async, m.AuthClient.__init__, m.AuthClient.get_api_acl,
                 B.accept.__func__, B.get_message_body.__func__, B.document_sent_async.__func__,
                 B.document_sent_async.__wrapped__]
        emit(result=attempt("pkg.broadcast"), same=m is m2, package=m.__package__, spec_name=m.__spec__.name,
             class_modules=[B.__module__, m.AuthClient.__module__],
             func_modules=sorted({f.__module__ for f in funcs}),
             code_files=sorted({f.__code__.co_filename for f in funcs}))
    ''', tmp_path, [tmp_path])
    assert_clean_success(result["result"], package, name="pkg.broadcast")
    assert result["same"]
    assert result["package"] == "pkg"
    assert result["spec_name"] == "pkg.broadcast"
    assert result["class_modules"] == ["pkg.broadcast", "pkg.broadcast"]
    assert result["func_modules"] == ["pkg.broadcast"]
    assert result["code_files"] == [expected_file(package)]


def test_failed_import_as_submodule_leaves_nothing_behind(tmp_path):
    package = package_holding_the_module(tmp_path)
    result = run_child('''
        real = builtins.classmethod
        def fake(f):
            if getattr(f, "__name__", None) == "get_message_body":
                boom("refused")
            return real(f)
        builtins.classmethod = fake
        first = attempt("pkg.broadcast")
        builtins.classmethod = real
        emit(first=first, second=attempt("pkg.broadcast"))
    ''', tmp_path, [tmp_path])
    first = result["first"]
    assert not first["ok"] and first["same_exc"]
    assert first["left"] == []
    assert ours(first, package) == [("<module broadcast>", 60), ("Broadcaster", 141)]
    assert_clean_success(result["second"], package, name="pkg.broadcast")


def test_engine_importing_broadcast_sees_the_partial_module(lib, tmp_path):
    engine_root = tmp_path / "engine"
    write_engine(engine_root, '''
        import sys
        import broadcast as _partial
        SEEN = {
            "same": _partial is sys.modules["broadcast"],
            "names": [n for n in vars(_partial) if not n.startswith("__")],
            "file": _partial.__file__,
            "doc": _partial.__doc__,
            "cached": _partial.__cached__,
            "has_builtins": "__builtins__" in vars(_partial),
            "spec_origin": getattr(_partial.__spec__, "origin", None),
            "spec_has_location": getattr(_partial.__spec__, "has_location", None),
        }
        PARTIAL = _partial
    ''', ENGINE_TEMPLATE)
    result = run_child('''
        outcome = attempt()
        import broadcast, tolva_engine
        emit(outcome=outcome, seen=tolva_engine.SEEN, same_final=tolva_engine.PARTIAL is broadcast)
    ''', tmp_path, [lib, engine_root], own_engine=True)
    assert_clean_success(result["outcome"], lib)
    seen = result["seen"]
    assert seen["same"]
    assert seen["names"] == ["Type", "Union", "wraps", "lru_cache", "json", "requests"]
    assert seen["file"] == expected_file(lib)
    assert seen["doc"] is None and seen["cached"] is None
    assert seen["has_builtins"]
    assert seen["spec_origin"] == expected_file(lib)
    assert seen["spec_has_location"] is True
    assert result["same_final"]


# --------------------------------------------------------------------------------------------- failures


def test_missing_requests(lib, tmp_path):
    result = run_child('''
        class NoRequests:
            """A finder, first in line, that finds no requests package: as if it were not installed."""
            def find_spec(self, name, path=None, target=None):
                if name.partition(".")[0] == "requests":
                    raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        hider = NoRequests()
        sys.meta_path.insert(0, hider)
        first = attempt()
        sys.meta_path.remove(hider)
        emit(first=first, second=attempt())
    ''', tmp_path, [lib])
    first = result["first"]
    assert (first["ok"], first["type"], first["msg"]) == (False, "ModuleNotFoundError", "No module named 'requests'")
    assert first["left"] == []
    assert ours(first, lib) == [("<module broadcast>", 4)]
    assert_clean_success(result["second"], lib)


ENGINE_CASES = {
    "no Base": ("Base", 5),
    "no Document": ("Document", 5),
    "no OutOfScopeError": ("OutOfScopeError", 6),
    "no AuthorizationError": ("AuthorizationError", 6),
}


@pytest.mark.parametrize("case", list(ENGINE_CASES))
def test_engine_lacking_a_name(lib, tmp_path, case):
    missing, line = ENGINE_CASES[case]
    engine_root = tmp_path / "engine"
    engine_file = write_engine(engine_root, engine_without(missing))
    result = run_child('''
        first = attempt()
        try:
            exec(PYTHON_FROM_IMPORTS, {})
        except ImportError as exc:
            python_says = str(exc)
        emit(first=first, python_says=python_says)
    ''', tmp_path, [lib, engine_root], own_engine=True)
    first = result["first"]
    expected = f"cannot import name '{missing}' from 'tolva_engine' ({engine_file})"
    assert result["python_says"] == expected
    assert (first["ok"], first["type"], first["msg"]) == (False, "ImportError", expected)
    assert first["left"] == []
    assert ours(first, lib) == [("<module broadcast>", line)]


ODD_ENGINES = {
    # a directory without __init__: a namespace package with no file name
    "namespace package": None,
    # an object that is not a module stands in sys.modules for the engine
    "not a module": '''
        import sys, types
        sys.modules[__name__] = types.SimpleNamespace(Document=type("Document", (), {}))
    ''',
    # the name is only present as a submodule entry in sys.modules
    "submodule entry": ('''
        import sys, types
        sys.modules[__name__ + ".Base"] = types.SimpleNamespace(marker="submodule")
    ''', engine_without("Base")),
}


@pytest.mark.parametrize("case", list(ODD_ENGINES))
def test_from_import_rule_on_odd_engines(lib, tmp_path, case):
    engine_root = tmp_path / "engine"
    if ODD_ENGINES[case] is None:
        (engine_root / "tolva_engine").mkdir(parents=True)
    else:
        source = ODD_ENGINES[case]
        write_engine(engine_root, *(source if isinstance(source, tuple) else (source,)))
    result = run_child('''
        first = attempt()
        try:
            exec(PYTHON_FROM_IMPORTS, {})
            python_says = None
        except ImportError as exc:
            python_says = str(exc)
        base = getattr(sys.modules.get("broadcast"), "Base", None)
        emit(first=first, python_says=python_says, base_marker=getattr(base, "marker", None))
    ''', tmp_path, [lib, engine_root], own_engine=True)
    first = result["first"]
    if result["python_says"] is None:
        assert_clean_success(first, lib)
        assert result["base_marker"] == "submodule"
    else:
        assert "unknown location" in result["python_says"]
        assert (first["ok"], first["type"], first["msg"]) == (False, "ImportError", result["python_says"])
        assert first["left"] == []


def test_engine_failing_while_imported(lib, tmp_path):
    engine_root = tmp_path / "engine"
    write_engine(engine_root, ENGINE_TEMPLATE, '''
import builtins
if not getattr(builtins, "_engine_failed_once", False):
    builtins._engine_failed_once = True
    raise LookupError("engine could not start")
''')
    result = run_child('emit(first=attempt(), second=attempt())', tmp_path, [lib, engine_root], own_engine=True)
    first = result["first"]
    assert (first["ok"], first["type"], first["msg"]) == (False, "LookupError", "engine could not start")
    assert first["left"] == []
    assert ours(first, lib) == [("<module broadcast>", 5)]
    assert_clean_success(result["second"], lib)


# Replacing builtins.classmethod by a function that acts when it is handed one of the methods.
CLASSMETHOD_CASES = {
    "classmethod fails for get_message_body": (
        "get_message_body", 'boom("refused")', ("Boom", "refused"), [("<module broadcast>", 60), ("Broadcaster", 141)]),
    "classmethod fails for check_subscriber_acl": (
        "check_subscriber_acl", 'boom("refused")', ("Boom", "refused"),
        [("<module broadcast>", 60), ("Broadcaster", 169)]),
    "classmethod fails for document_sent_async": (
        "document_sent_async", 'boom("refused")', ("Boom", "refused"),
        [("<module broadcast>", 60), ("Broadcaster", 182)]),
    "Document gone before check_subscriber_acl": (
        "get_message_body", 'del sys.modules["broadcast"].Document',
        ("NameError", "name 'Document' is not defined"), [("<module broadcast>", 60), ("Broadcaster", 170)]),
    "Document gone before document_sent_async": (
        "check_subscriber_acl", 'del sys.modules["broadcast"].Document',
        ("NameError", "name 'Document' is not defined"), [("<module broadcast>", 60), ("Broadcaster", 184)]),
    "auth_required_async gone": (
        "check_subscriber_acl", 'del sys.modules["broadcast"].auth_required_async',
        ("NameError", "name 'auth_required_async' is not defined"),
        [("<module broadcast>", 60), ("Broadcaster", 183)]),
    "auth_required_async fails": (
        "check_subscriber_acl", 'sys.modules["broadcast"].auth_required_async = lambda func: boom("no decorator")',
        ("Boom", "no decorator"), [("<module broadcast>", 60), ("Broadcaster", 183)]),
}


@pytest.mark.parametrize("case", list(CLASSMETHOD_CASES))
def test_failure_inside_the_class_body(lib, tmp_path, case):
    target, action, (exc_type, message), entries = CLASSMETHOD_CASES[case]
    result = run_child(f'''
        real = builtins.classmethod
        def fake(f):
            if getattr(f, "__name__", None) == {target!r}:
                {action}
            return real(f)
        builtins.classmethod = fake
        first = attempt()
        builtins.classmethod = real
        emit(first=first, second=attempt())
    ''', tmp_path, [lib])
    first = result["first"]
    assert (first["ok"], first["type"], first["msg"]) == (False, exc_type, message)
    if exc_type == "Boom":
        assert first["same_exc"], "the exception raised inside the class body was replaced"
    assert first["left"] == []
    assert ours(first, lib)[:2] == entries
    assert ours(first, lib)[0] == ("<module broadcast>", 60)
    assert_clean_success(result["second"], lib)


def test_names_missing_from_the_module_fall_back_to_builtins(lib, tmp_path):
    result = run_child('''
        real = builtins.classmethod
        class Stand:
            pass
        def fake(f):
            if getattr(f, "__name__", None) == "check_subscriber_acl":
                del sys.modules["broadcast"].Document
                builtins.Document = Stand
            return real(f)
        builtins.classmethod = fake
        first = attempt()
        import broadcast
        emit(first=first, doc_is_stand=broadcast.Broadcaster.document_sent_async.__wrapped__.__annotations__["doc"]
             is Stand, has_document="Document" in vars(broadcast))
    ''', tmp_path, [lib])
    assert result["first"]["ok"]
    assert result["doc_is_stand"]
    assert not result["has_document"]


# A hostile engine that changes the partly built module while it is being imported.
ENGINE_HACKS = {
    "wraps rebound to a failing callable": (
        '''
        import broadcast as _b
        class WrapsRefused(Exception):
            pass
        def _refuse(func):
            raise WrapsRefused("wraps refused")
        _b.wraps = _refuse
        ''', ("WrapsRefused", "wraps refused"), [("<module broadcast>", 60), ("Broadcaster", 183)]),
    "Union cannot be subscripted": (
        '''
        import broadcast as _b
        _b.Union = object()
        ''', ("TypeError", "'object' object is not subscriptable"), [("<module broadcast>", 60), ("Broadcaster", 142)]),
    "Document removed after its import": (
        '''
        import sys
        _done = []
        def __getattr__(name):
            if name == "OutOfScopeError":
                if not _done:
                    _done.append(1)
                    vars(sys.modules["broadcast"]).pop("Document", None)
                return _OutOfScopeError
            raise AttributeError(name)
        ''', ("NameError", "name 'Document' is not defined"), [("<module broadcast>", 60), ("Broadcaster", 142)]),
    "Union removed": (
        '''
        import broadcast as _b
        del _b.Union
        ''', ("NameError", "name 'Union' is not defined"), [("<module broadcast>", 60), ("Broadcaster", 142)]),
}


@pytest.mark.parametrize("case", list(ENGINE_HACKS))
def test_engine_tampering_with_the_partial_module(lib, tmp_path, case):
    hack, (exc_type, message), entries = ENGINE_HACKS[case]
    engine_root = tmp_path / "engine"
    template = engine_without("OutOfScopeError") if "__getattr__" in hack else ENGINE_TEMPLATE
    write_engine(engine_root, template, hack)
    result = run_child('emit(first=attempt(), second=attempt())', tmp_path, [lib, engine_root], own_engine=True)
    first = result["first"]
    assert (first["ok"], first["type"], first["msg"]) == (False, exc_type, message)
    assert first["left"] == []
    assert ours(first, lib)[:2] == entries
    assert_clean_success(result["second"], lib)
