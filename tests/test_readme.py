"""The README's usage example runs as written."""

import pathlib
import re

from conftest import run_python

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_the_readme_examples_run_verbatim_in_a_fresh_interpreter(tmp_path):
    blocks = re.findall(r"^```python\n(.*?)^```$", README.read_text(), re.M | re.S)
    assert len(blocks) == 2, "expected the usage and the fusion examples in the README"
    # With a private TMPDIR the example's segment lands here, which shows it
    # writes below the temporary directory rather than to a fixed path. The
    # second example goes on with the first one's segment.
    out = run_python("\n".join(blocks), env={"TMPDIR": str(tmp_path)})
    hits, fused = out.splitlines()
    assert "'id-0'" in hits  # the query is row 0, so it is among its own hits
    assert fused.startswith("['id-3', ")  # row 3 is both queries: the best fused row
    assert any(p.is_file() for p in tmp_path.rglob("*")), "no segment written below TMPDIR"
