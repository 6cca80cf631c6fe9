"""The README's usage example runs as written."""

import pathlib
import re

from conftest import run_python

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_the_readme_example_runs_verbatim_in_a_fresh_interpreter(tmp_path):
    blocks = re.findall(r"^```python\n(.*?)^```$", README.read_text(), re.M | re.S)
    assert len(blocks) == 1, "expected one python example in the README"
    # With a private TMPDIR the example's segment lands here, which shows it
    # writes below the temporary directory rather than to a fixed path.
    out = run_python(blocks[0], env={"TMPDIR": str(tmp_path)})
    assert "'id-0'" in out  # the query is row 0, so it is among its own hits
    assert any(p.is_file() for p in tmp_path.rglob("*")), "no segment written below TMPDIR"
