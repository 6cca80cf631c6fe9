#!/usr/bin/env bash
# Builds and runs every test: the C++ core under CTest, then the Python
# module under pytest, both with the tools in .venv. Expects
# scripts/install-deps.sh to have run.
set -euo pipefail
. "$(dirname "$0")/common.sh"
cd "$ROOT"
use_venv
jobs=$(nproc 2>/dev/null || echo 2)

step "configuring the C++ tests ($("$CMAKE" --version | sed -n 1p))"
"$CMAKE" -S . -B build/cpp -DNIMBREL_BUILD_TESTS=ON -DNIMBREL_BUILD_MODULE=OFF \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
step "compiling the C++ tests on $jobs cores"
# Progress lines go to stdout; warnings and errors come through on stderr.
"$CMAKE" --build build/cpp -j "$jobs" >/dev/null
step "testing the C++ core (ctest)"
log=build/cpp/ctest.log
if ! "$CTEST" --test-dir build/cpp --output-on-failure -j "$jobs" >"$log" 2>&1; then
    cat "$log"
    exit 1
fi
grep -E 'tests passed|Total Test time' "$log" || { cat "$log"; exit 1; }

step "configuring and compiling the module, installing it into .venv (pip install .)"
pip_install --no-build-isolation .
step "testing the Python module (pytest)"
# Run from tests/ so the installed module is imported, not the source tree.
(cd tests && "$PYTHON" -m pytest -q -p no:cacheprovider .)

# The wheel a user would install: built from the same build directory,
# repaired to carry its libraries, tried in a fresh environment.
step "building the manylinux wheel (scripts/wheel.sh)"
scripts/wheel.sh build/dist >/dev/null  # the report goes to stderr
scripts/check-wheel.sh build/dist/nimbrel-*.whl
