#!/usr/bin/env bash
# Installs the Debian packages of scripts/debian-packages.txt that are missing
# (as root, with apt-get), then configures and builds Kestrum in build/.
# Extra arguments go to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t packages < <(grep -v -E '^\s*(#|$)' scripts/debian-packages.txt)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Install them as root: apt-get install ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake -S . -B build -G Ninja "$@" >/dev/null
cmake --build build
