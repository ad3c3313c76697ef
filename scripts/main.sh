#!/usr/bin/env bash
# The main job: builds and installs the library and tools into ./out, then runs
# the demo (a simulated device of each family checked and updated until every
# component is "Same").
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/setup.sh"
cmake -S "$here" -B "$here/build-main" -DCMAKE_BUILD_TYPE=Release \
  -DZODARURUVIZI_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX="$here/out" >/dev/null
cmake --build "$here/build-main" -j "$(nproc)"
cmake --install "$here/build-main" >/dev/null
echo "installed into $here/out"
if [ -x "$here/out/bin/gwtool" ]; then
  "$here/out/bin/gwtool" demo
fi
