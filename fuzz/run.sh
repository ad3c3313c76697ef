#!/usr/bin/env bash
# Runs every fuzz target for a bounded time and fails on any finding.
# Usage: fuzz/run.sh [build-dir]          (default: build-fuzz)
# Environment:
#   ZR_FUZZ_SECONDS  time per target (default 60)
#   ZR_FUZZ_TARGETS  targets to run (default: all five)
#   ZR_FUZZ_WORK     where the growing corpora and findings go (default:
#                    <build-dir>/fuzz-work); the committed seeds stay as they are
# Builds the targets first when the build directory is not configured yet.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$here/build-fuzz}"
seconds="${ZR_FUZZ_SECONDS:-60}"
targets=(${ZR_FUZZ_TARGETS:-reply release records records_file gwsim_request})
work="${ZR_FUZZ_WORK:-$build/fuzz-work}"

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZODARURUVIZI_BUILD_FUZZ=ON -DZODARURUVIZI_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target fuzz_all

failed=()
for t in "${targets[@]}"; do
  bin="$build/fuzz/fuzz_$t"
  corpus="$work/corpus/$t"
  artifacts="$work/findings/$t/"
  mkdir -p "$corpus" "$artifacts"
  echo "== fuzz_$t for ${seconds} s"
  log="$work/$t.log"
  # New inputs go to the work corpus; the committed seeds are read only.
  if "$bin" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$artifacts" "$corpus" "$here/fuzz/corpus/$t" </dev/null >"$log" 2>&1; then
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" || true
  else
    echo "!! fuzz_$t found a problem (log: $log, inputs: $artifacts)"
    tail -n 40 "$log"
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz findings in: ${failed[*]}"
  exit 1
fi
echo "fuzz: no findings"
