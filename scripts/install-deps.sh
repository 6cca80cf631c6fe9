#!/usr/bin/env bash
# Installs what building and testing nimbrel needs on a fresh Debian 12/13
# machine: the C++ libraries from Debian, and the Python test tools from PyPI.
set -euo pipefail
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -qq
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    g++ make pkg-config \
    libroaring-dev libtbb-dev nlohmann-json3-dev libsimdjson-dev libisal-dev libgtest-dev \
    >/dev/null
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore \
    "scikit-build-core>=0.9" "cmake>=3.26" ninja pytest numpy hypothesis
