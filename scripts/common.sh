# Sourced by the scripts in this directory: where the project's virtual
# environment lives and which CMake builds with it.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
# The venv is made from Debian's interpreter, whatever else comes first on
# PATH, so that the headers python3-dev installs are the ones it builds against.
SYSTEM_PYTHON=/usr/bin/python3
CMAKE_MIN=3.26

step() { echo "==> $*"; }

# Whether the system's cmake is at least $CMAKE_MIN (Debian 12 ships 3.25).
system_cmake_ok() {
    local v
    v=$(/usr/bin/cmake --version 2>/dev/null | sed -n '1s/^cmake version \([0-9][0-9.]*\).*/\1/p')
    [ -n "$v" ] && printf '%s\n%s\n' "$CMAKE_MIN" "$v" | sort -V -C
}

# Puts the venv first on PATH and picks the CMake everything builds with:
# the venv's when install-deps.sh had to fetch one, else the system's. The
# choice is passed to scikit-build-core too, so that no other cmake found on
# PATH (a user-installed one, say) takes part.
use_venv() {
    if [ ! -x "$VENV/bin/python" ]; then
        echo "no virtual environment in $VENV: run scripts/install-deps.sh first" >&2
        exit 1
    fi
    export VIRTUAL_ENV="$VENV"
    export PATH="$VENV/bin:$PATH"
    unset PYTHONHOME
    PYTHON="$VENV/bin/python"
    if [ -x "$VENV/bin/cmake" ]; then
        CMAKE="$VENV/bin/cmake"
    else
        CMAKE=/usr/bin/cmake
    fi
    CTEST="$(dirname "$CMAKE")/ctest"
    export CMAKE_EXECUTABLE="$CMAKE"
}

pip_install() {
    "$PYTHON" -m pip install -q --disable-pip-version-check "$@"
}
