#!/usr/bin/env bash
# Builds and installs the module, then runs the demo in examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation .
python3 examples/demo.py
