#!/usr/bin/env bash
# Installs the package from a build tree into a temporary prefix, builds a
# separate host project against it, and runs that host against two gwsim
# devices started from the installed prefix.
# Usage: tests/package/run.sh BUILD-DIR
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$(cd "${1:?build directory}" && pwd)"
work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$here/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" -j 2 >/dev/null

export GATEWAY_SOFTWARE_DIR="$work/software" GATEWAY_LOG_DIR="$work/logs"
mkdir -p "$GATEWAY_SOFTWARE_DIR" "$GATEWAY_LOG_DIR"
firmware() { printf 'HDR\0\0@(#)RELEASE=%s\0tail' "$2" > "$GATEWAY_SOFTWARE_DIR/$1"; }
firmware tarvik_lc.bin CPOD_LC_R2.11.0
firmware tarvik_prom.bin CPOD_PROM_R1.4.0
firmware tarvik_bootstrap.bin CPOD_BOOT_R1.0.2
firmware tessan_cable.hex CPOD_TSN_R2.4
firmware tarvik_mac.bin CPOD_TSN_R2.4
firmware sollum_lc.bin "MIR Release 3.5"
firmware sollum_prom.bin "MIR Release 1.3"

# start_device FAMILY ADDRESS: starts gwsim and waits (at most 10 s) until it listens.
start_device() {
  local log="$work/gwsim-$1.log"
  "$work/prefix/bin/gwsim" serve --family "$1" --bind "$2" --software-dir "$GATEWAY_SOFTWARE_DIR" \
    >"$log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    grep -q "listening on" "$log" && return 0
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  echo "gwsim $1 did not start:"; cat "$log"; return 1
}
start_device ZEL 127.0.0.2
start_device MIR 127.0.0.3

LD_LIBRARY_PATH="$work/prefix/lib:$work/prefix/lib64:${LD_LIBRARY_PATH:-}" \
  "$work/consumer/consumer" 127.0.0.2 127.0.0.3
