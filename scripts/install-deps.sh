#!/usr/bin/env bash
# Installs what building and testing nimbrel needs on a Debian 12/13 machine:
# the compiler, CMake and C++ libraries from Debian, and the Python build and
# test tools in a virtual environment .venv at the repository root (Debian
# refuses pip installs into its own Python). Safe to run again: installed
# packages and a working .venv are kept.
set -euo pipefail
. "$(dirname "$0")/common.sh"
cd "$ROOT"

packages=(g++ make pkg-config cmake python3-dev python3-venv
          libroaring-dev libtbb-dev nlohmann-json3-dev libsimdjson-dev libisal-dev libgtest-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${db:Status-Status}\n' "$p" 2>/dev/null | grep -qx installed || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    step "installing system packages: ${missing[*]}"
    SUDO=""
    if [ "$(id -u)" != 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            echo "installing system packages needs root: run this as root, or install sudo" >&2
            exit 1
        fi
        SUDO="sudo"
    fi
    $SUDO apt-get update -qq
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${packages[@]}" >/dev/null
else
    step "system packages already installed"
fi

# A venv is reused only if it runs, has pip, and was made from the system
# interpreter as it is now (a Debian upgrade to a new Python breaks it).
venv_ok() {
    local want have
    want=$("$SYSTEM_PYTHON" -c 'import sys; print(sys.base_prefix, sys.version_info[:2])') || return 1
    have=$("$VENV/bin/python" -c 'import sys, pip; print(sys.base_prefix, sys.version_info[:2])' \
           2>/dev/null) || return 1
    [ "$want" = "$have" ]
}
if [ ! -e "$VENV" ]; then
    step "creating the virtual environment .venv from $SYSTEM_PYTHON"
    "$SYSTEM_PYTHON" -m venv "$VENV"
elif ! venv_ok; then
    step "re-creating .venv: it is broken or was not made from $SYSTEM_PYTHON"
    rm -rf "$VENV"
    "$SYSTEM_PYTHON" -m venv "$VENV"
else
    step "reusing the virtual environment .venv"
fi

PYTHON="$VENV/bin/python"
tools=("scikit-build-core>=0.9" ninja pytest numpy hypothesis mypy)
if ! system_cmake_ok; then
    tools+=("cmake>=$CMAKE_MIN")
    step "installing Python build and test tools into .venv, with CMake from PyPI (the system's is older than $CMAKE_MIN)"
else
    step "installing Python build and test tools into .venv"
fi
pip_install "${tools[@]}"
