#!/usr/bin/env bash
# Tries a repaired wheel (scripts/wheel.sh) as a user would: installs it
# into a fresh virtual environment outside the source tree, runs the
# README's examples there, and checks from /proc/self/maps that the shared
# libraries the module loaded are the wheel's own copies, not the system's.
#
#   scripts/check-wheel.sh WHEEL
#
# The examples need numpy, which comes from the package index.
set -euo pipefail
. "$(dirname "$0")/common.sh"
wheel="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
tmp="$(mktemp -d "${TMPDIR:-/tmp}/nimbrel-wheel-check.XXXXXX")"
trap 'rm -rf "$tmp"' EXIT

step "installing $(basename "$wheel") and numpy into a fresh virtual environment"
"$SYSTEM_PYTHON" -m venv "$tmp/venv"
"$tmp/venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel" numpy

step "running the README's examples there"
cat >"$tmp/check.py" <<'PY'
import os, re, sys

readme = sys.argv[1]
blocks = re.findall(r"^```python\n(.*?)^```$", open(readme, encoding="utf-8").read(), re.M | re.S)
assert blocks, "no python examples in the README"
exec(compile("\n".join(blocks), "README.md", "exec"), {"__name__": "__main__"})

import nimbrel

here = os.path.dirname(os.path.realpath(nimbrel.__file__))
assert here.startswith(os.path.realpath(sys.prefix) + os.sep), f"nimbrel came from {here}, not the fresh environment"
bundled = os.path.join(here, "nimbrel.libs") + os.sep
mapped = set()
with open("/proc/self/maps") as maps:
    for line in maps:
        fields = line.split(None, 5)
        if len(fields) == 6 and fields[5].startswith("/"):
            mapped.add(fields[5].strip())
failures = []
for name in ("libroaring", "libtbb", "libsimdjson", "libisal"):
    loaded = sorted(p for p in mapped if re.match(re.escape(name) + r"[-.]", os.path.basename(p)))
    outside = [p for p in loaded if not os.path.realpath(p).startswith(bundled)]
    print(f"    {name}: {', '.join(loaded) or 'not loaded'}")
    if not loaded or outside:
        failures.append(name)
if failures:
    sys.exit(f"not loaded from {bundled}: {', '.join(failures)}")
print(f"==> every library came from {bundled}")
PY
(cd "$tmp" && env -u PYTHONPATH "$tmp/venv/bin/python" "$tmp/check.py" "$ROOT/README.md")
