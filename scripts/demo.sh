#!/usr/bin/env bash
# Builds and installs the module into .venv, then runs the demo in examples/.
# Expects scripts/install-deps.sh to have run.
set -euo pipefail
. "$(dirname "$0")/common.sh"
cd "$ROOT"
use_venv

step "configuring and compiling the module, installing it into .venv (pip install .)"
pip_install --no-build-isolation .
step "running examples/demo.py"
"$PYTHON" examples/demo.py
