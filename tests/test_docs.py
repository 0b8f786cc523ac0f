"""The documentation runs as written: every block of README.md and docs/*.md, from the repository
root, with the engine stand-in on the path.

* a ```python block runs in an interpreter of its own and exits 0;
* a ```bash block runs as a bash script of its own (stopping at the first failing command), in a
  network namespace of its own, so that the ports it names are free whatever else runs on this
  machine, and exits 0 in its time; what it starts in the background it stops itself;
* a ```console block is shown, not run: a terminal session by hand, a command that takes minutes
  or runs the suite itself. Each of its commands is in SHOWN, with the test that runs it or why
  none does, so that no new command goes unrun unsaid.
"""
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
TEXT = {page.relative_to(ROOT).as_posix(): page.read_text(encoding="utf-8") for page in PAGES}


def blocks(kind):
    """(page, n, text) of every ```kind block, numbered within its page."""
    found = []
    for name, text in TEXT.items():
        for n, block in enumerate(re.findall(rf"^```{kind}\n(.*?)^```", text, re.S | re.M), 1):
            found.append(pytest.param(block, id=f"{name}:{kind}{n}"))
    return found


def commands(block):
    """The commands of a block: continuation lines joined, comments and blank lines left out,
    and a line a command reads (a request typed into a client) with it."""
    joined = re.sub(r"\\\n\s*", " ", block)
    lines = [line.split("  #")[0].strip() for line in joined.splitlines()]
    return [line for line in lines if line and not line.startswith(("#", "{"))]


# Commands shown and not run here: the start of each, and what runs it instead.
SHOWN = {
    "./run-tests": "the suite itself",
    "./run-demo": "tests/test_demo.py and tests/test_browser.py (--serve)",
    "BROADCAST_IMPL=reference .venv/bin/python -m pytest": "the suite itself",
    "git clone": "this checkout",
    "cd ": "this checkout",
    "scripts/build-wheels": "tests/test_wheel.py",
    "python3.11 -m venv": "tests/test_wheel.py",
    "~/my-app/bin/pip install": "tests/test_wheel.py (the same wheels, in a fresh venv)",
    "~/my-app/bin/python -m broadcast_server": "tests/test_wheel.py",
    "~/my-app/bin/python -m broadcast_demo": "tests/test_wheel.py; the quick start's script runs "
                                             "both in this repository's .venv",
    ".venv/bin/python -m websockets": "interactive; tests/test_end_to_end.py speaks the protocol",
    ".venv/bin/python -m broadcast_demo.local_redis": "a terminal of a session by hand; the "
                                                      "quick start's script runs it",
    ".venv/bin/python -m broadcast_demo.auth_service": "a terminal of a session by hand; the "
                                                       "quick start's script runs it",
    ".venv/bin/python -m broadcast_server": "a terminal of a session by hand; the quick start's "
                                            "script runs both commands",
    "export ": "a terminal of a session by hand",
    "curl ": "a terminal of a session by hand; the quick start's script runs it",
    "PYTHONPATH=engine_standin .venv/bin/python examples/host.py": "tests/test_example_host.py",
    "python3.11 scripts/prepare_venv.py": "./run-tests and ./run-demo, with their own extras",
    "PYTHONPATH=engine_standin .venv/bin/python bench/": "minutes long: bench/ measures, no test",
    ".venv/bin/python bench/": "minutes long: bench/ measures, no test",
    # Installing a node as a service changes the machine: its files are checked instead.
    "install -": "deploy/'s files: tests/test_deploy.py reads node.env with the node's parser",
    "printf ": "deploy/'s files: tests/test_deploy.py",
    "systemctl ": "a machine's services; tests/test_deploy.py runs the same node command",
}


def test_the_pages_have_blocks_of_each_kind():
    assert len(blocks("python")) >= 6 and len(blocks("bash")) >= 2 and blocks("console")


@pytest.mark.parametrize("code", blocks("python"))
def test_python_block_runs(code):
    env = dict(os.environ, PYTHONPATH="engine_standin")
    proc = subprocess.run([sys.executable, "-c", code], cwd=ROOT, env=env, capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr


@pytest.mark.parametrize("block", blocks("console"))
def test_console_block_is_run_elsewhere(block):
    unrun = [c for c in commands(block) if not c.startswith(tuple(SHOWN))]
    assert not unrun, f"neither run here nor listed in SHOWN: {unrun}"


@pytest.mark.skipif(not (ROOT / ".venv" / "bin" / "python").exists(),
                    reason="the blocks name .venv/bin/python: ./run-tests makes it")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", "")
                    or os.environ.get("BROADCAST_IMPL") == "reference",
                    reason="the blocks run the release build in .venv")
@pytest.mark.parametrize("block", blocks("bash"))
def test_bash_block_runs(block, tmp_path):
    script = tmp_path / "block.sh"
    script.write_text(block)
    # A loopback of its own: unshare is util-linux's, and needs root (as CI and ./run-tests have).
    netns = ["unshare", "--net", "bash", "-c", 'ip link set lo up && exec bash -e "$0"']
    if os.geteuid() != 0 or not shutil.which("unshare"):
        pytest.skip("a network namespace of its own needs root and unshare")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}
    proc = subprocess.Popen([*netns, str(script)], cwd=ROOT, env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=120)
    finally:
        try:  # whatever it left running
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()
    assert proc.returncode == 0, out


def test_the_pages_tables_are_the_declared_ones():
    """The settings table is the one the declarations give, and the refusals' and the skipped
    entries' labels are their enums': a new setting or reason cannot be left out."""
    from broadcast_server import config
    from broadcast_server.errors import Refusal, Skip
    operations = TEXT["docs/operations.md"]
    table = config.settings_table()
    assert table in operations, ("paste `python -m broadcast_server.config` into "
                                 "docs/operations.md:\n" + table)
    for series, labels in (("broadcast_refusals_total", Refusal),
                           ("broadcast_stream_entries_skipped_total", Skip)):
        (row,) = re.findall(rf"^\| `{series}\{{reason\}}` \|.*$", operations, flags=re.M)
        assert set(re.findall(r"`(\w+)`", row.split("|")[2])) == {r.value for r in labels}


def test_every_page_is_in_the_readme_contents_and_every_link_leads_somewhere():
    readme = TEXT["README.md"]
    for page in PAGES[1:]:
        assert f"(docs/{page.name})" in readme, f"{page.name} is not in the README's contents"
    for name, text in TEXT.items():
        base = (ROOT / name).parent
        prose = re.sub(r"`[^`\n]*`", "", re.sub(r"^```.*?^```", "", text, flags=re.S | re.M))
        for target, anchor in re.findall(r"\]\(([^)#:]*)(?:#([^)]*))?\)", prose):
            page = base / target if target else ROOT / name
            assert page.exists(), f"{name} links to {target}, which is missing"
            if anchor:
                assert anchor in anchors(page), f"{name} links to {target}#{anchor}: no such heading"


def anchors(page):
    """The anchors of a page's headings, as the Markdown renderers make them."""
    headings = re.findall(r"^#+ (.*)$", page.read_text(encoding="utf-8"), flags=re.M)
    return {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-") for h in headings}
