#!/usr/bin/env bash
# Builds the program and its kernel libraries for 64-bit ARM Linux (AArch64)
# with Debian's cross compiler and runs them under qemu-user: the whole test
# suite (default), or the bench as a smoke test ("bench": emulated timing
# says nothing about a real processor). Installs the cross compiler, the
# emulator and the build tools from Debian's archive first where they are
# missing.
#
#   scripts/arm64.sh            # test
#   scripts/arm64.sh bench      # run the bench once under the emulator
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++-aarch64-linux-gnu qemu-user cmake ninja-build python3 googletest)

install_missing() {
    local missing=()
    for package in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

install_missing
case "${1:-test}" in
    test) cmake --workflow --preset arm64 ;;
    bench) cmake --workflow --preset arm64-bench ;;
    *) echo "usage: $0 [test|bench]" >&2; exit 2 ;;
esac
