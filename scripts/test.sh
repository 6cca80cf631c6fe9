#!/usr/bin/env bash
# Builds and runs every test: the C++ core under CTest, then the Python
# module under pytest. Expects scripts/install-deps.sh to have run.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build/cpp -DNIMBREL_BUILD_TESTS=ON -DNIMBREL_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp -j "$jobs"
ctest --test-dir build/cpp --output-on-failure -j "$jobs"

python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation .
# Run from tests/ so the installed module is imported, not the source tree.
cd tests && python3 -m pytest -q -p no:cacheprovider .
