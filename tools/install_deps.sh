#!/usr/bin/env bash
# Installs, with apt, the Debian packages the build and the tests need and
# that this machine lacks; or, when it cannot, says exactly what to run.
# Used by `make` and by .ci/run; `install_deps.sh windows` installs what
# `make windows-programs` needs instead (Wine and the x86_64 cross compiler).
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev tshark
          g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-multilib python3-pefile python3-serial picocom tmux lrzsz
          minicom screen sigrok-cli parallel)
if [ "${1:-}" = windows ]; then
    packages=(wine64 gcc-mingw-w64-x86-64 python3-serial)
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
        sudo="sudo"
    else
        echo "missing packages: ${missing[*]}" >&2
        echo "install them with: sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
