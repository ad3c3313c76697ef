#!/usr/bin/env bash
# Builds everything and runs the whole test suite (fast and slow tiers).
# Usage: scripts/test.sh [build-dir]      (default: build)
# Environment: ZR_TEST_LABEL=fast runs only the fast tier; ZR_SANITIZE=address,undefined
# or thread builds with sanitizers; ZR_JOBS sets the test parallelism.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$here/build}"
"$here/scripts/setup.sh"

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZODARURUVIZI_SANITIZE="${ZR_SANITIZE:-}" >/dev/null
cmake --build "$build" -j "$(nproc)"

label_args=()
[ -n "${ZR_TEST_LABEL:-}" ] && label_args=(-L "^${ZR_TEST_LABEL}\$")
cd "$build"
ctest --output-on-failure -j "${ZR_JOBS:-6}" "${label_args[@]}"
