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

source scripts/install_packages.sh

install_missing "${packages[@]}"
case "${1:-test}" in
    test) cmake --workflow --preset arm64 ;;
    bench) cmake --workflow --preset arm64-bench ;;
    *) echo "usage: $0 [test|bench]" >&2; exit 2 ;;
esac
