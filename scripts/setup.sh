#!/usr/bin/env bash
# Installs the Debian packages of scripts/debian-packages.txt that are missing
# (as root, with apt-get), then configures and builds Kestrum in build/.
#
#   setup.sh [--target NAME]... [CMAKE_OPTION]...
#
# Every caller shares one configuration, the one the tests need (warnings as
# errors, benchmarks on), so that building one target first and everything
# later compiles each file once. CMAKE_OPTIONs go to cmake's configure step
# after it. With --target only the named targets are built, else everything.
# build/ is configured again only when the options change.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=()
options=(-DKESTRUM_WERROR=ON -DKESTRUM_BUILD_BENCH=ON)
while (($#)); do
  case $1 in
    --target) targets+=(--target "$2"); shift 2 ;;
    *) options+=("$1"); shift ;;
  esac
done

mapfile -t packages < <(grep -v -E '^\s*(#|$)' scripts/debian-packages.txt)
# One dpkg-query for all: it prints the installed ones and complains of the rest.
mapfile -t installed < <(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null |
                         awk '/ install ok installed$/ { print $1 }')
missing=()
for p in "${packages[@]}"; do
  [[ " ${installed[*]} " == *" ${p%%:*} "* ]] || missing+=("$p")
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

# Ninja configures again by itself when a CMakeLists.txt changes.
stamp=build/setup-options.txt
if [[ ! -f build/build.ninja || "$(cat "$stamp" 2>/dev/null)" != "${options[*]}" ]]; then
  cmake -S . -B build -G Ninja "${options[@]}" >/dev/null
  echo "${options[*]}" >"$stamp"
fi
cmake --build build "${targets[@]}"
