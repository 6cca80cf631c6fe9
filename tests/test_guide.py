"""The user's guide names every call and setting, and every example runs and
shows what it says it shows."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

import nimbrel

ROOT = pathlib.Path(__file__).resolve().parent.parent
GUIDE = (ROOT / "docs" / "guide.md").read_text()
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))

# Lines an example must print: the behaviour it demonstrates, not its wording
# elsewhere. An example without an entry only has to run.
SHOWS = {
    "two_writers.py": [
        # each writer sees its own rows at once and not the other's ...
        """writer a: {'deleted': True, 'own rows seen': 200, "other's rows seen": 0, 'live rows seen': 1199}""",
        """writer b: {'deleted': True, 'own rows seen': 200, "other's rows seen": 0, 'live rows seen': 1199}""",
        # ... a handle open all along sees neither until a flush, a new one both
        "the first handle, before a flush: 1000 live rows",
        "a handle opened now: 1398 live rows, 200 by a, 200 by b",
        "the first handle, after another handle's flush: 1398 live rows",
    ],
    "merge.py": [
        "merged 2597 rows; dropped ids (once per live row left out): "
        "['item-7', 'item-900', 'item-900', 'item-1700', 'item-1700']",
        "item-1000 comes from the later segment: {\"version\":1}",
        "has item-5, item-7, item-9000: [False, False, True]",
        "refused: merge: output dir must not be one of the input dirs",
    ],
}


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda p: p.name)
def test_every_example_runs_in_a_fresh_interpreter(example, tmp_path):
    # Run from elsewhere, so the installed module is imported; a private
    # TMPDIR shows the example cleans up after itself.
    r = subprocess.run([sys.executable, str(example)], cwd=tmp_path, capture_output=True,
                       text=True, timeout=120, env={**os.environ, "TMPDIR": str(tmp_path)})
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines, "an example prints its results"
    for line in SHOWS.get(example.name, []):
        assert line in lines, f"{example.name} no longer prints {line!r}:\n{r.stdout}"
    assert not list(tmp_path.iterdir()), "the example left files behind"


def test_the_examples_the_guide_promises_exist():
    names = {p.name for p in EXAMPLES}
    assert {"sparse_hybrid.py", "two_writers.py", "merge.py", "calibrate.py"} <= names
    for name in names:
        assert f"`examples/{name}`" in GUIDE, f"examples/{name} is not listed in the guide"


def public_calls():
    calls = [n for n in nimbrel.__all__ if n != "ZevireDarir"]
    calls += [n for n in dir(nimbrel.ZevireDarir) if not n.startswith("_")]
    return calls


def test_the_guide_names_every_method_and_function():
    assert {"merge_segments", "search", "nmql_fuse"} <= set(public_calls())
    missing = [n for n in public_calls()
               if not re.search(rf"`(ZevireDarir\.)?{n}[(`]", GUIDE)]
    assert not missing, f"not in docs/guide.md: {missing}"


def test_the_guide_names_every_environment_variable_the_module_reads():
    sources = "".join(p.read_text() for p in (ROOT / "src").rglob("*.cc"))
    read = set(re.findall(r'GetEnv\("([A-Z_]+)"', sources))
    read |= set(re.findall(r'SwitchOn\([A-Z_]+, "([A-Z_]+)"\)', sources))
    assert {"RAYON_NUM_THREADS", "NIMBREL_MAINT_THREADS", "NIMBREL_MLOCK"} <= read
    missing = [v for v in sorted(read) if f"| `{v}` |" not in GUIDE]
    assert not missing, f"not in the guide's table of environment variables: {missing}"
