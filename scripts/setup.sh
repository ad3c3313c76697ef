#!/usr/bin/env bash
# Installs the Debian packages a fresh machine lacks (needs root or sudo).
# Usage: scripts/setup.sh [extra-package ...]
set -euo pipefail

packages=(cmake g++ make git googletest libgtest-dev libgmock-dev libbenchmark-dev
          libasio-dev nlohmann-json3-dev libcli11-dev "$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
