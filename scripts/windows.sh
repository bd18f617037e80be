#!/usr/bin/env bash
# Builds the program and its kernel libraries for Windows with mingw-w64 and
# runs them under wine: the whole test suite (default, for win32 then win64),
# or the bench ("bench", on win32). Installs the cross compilers and wine
# from Debian's archive first where they are missing.
#
#   scripts/windows.sh              # test win32 and win64
#   scripts/windows.sh win32        # test one of them
#   scripts/windows.sh bench        # time the kernels on win32
#
# On a host that cannot run 32-bit programs (cmake/wine.cmake asks wine's
# 32-bit loader), the win32 build is built and its file checks run, its
# other tests show as skipped, and the bench times win64 instead.
# MATMUL_WINE_NO_32BIT=1 takes that path on any host.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64)

source scripts/install_packages.sh

# Prints, as shell commands, the environment a configure preset sets: the
# wine variables are written once, in CMakePresets.json, and read from there.
preset_environment() {
    python3 - "$1" <<'PY'
import json, os, shlex, sys
name = sys.argv[1]
with open("CMakePresets.json") as f:
    presets = {p["name"]: p for p in json.load(f)["configurePresets"]}
env = {}
def collect(preset):
    parents = presets[preset].get("inherits", [])
    # An earlier parent wins over a later one, the preset itself over both.
    for parent in reversed([parents] if isinstance(parents, str) else parents):
        collect(parent)
    env.update(presets[preset].get("environment", {}))
collect(name)
for key, value in env.items():
    if value is None:
        print("unset " + key)
    else:
        value = value.replace("${sourceDir}", os.getcwd()).replace("${presetName}", name)
        print("export %s=%s" % (key, shlex.quote(value)))
PY
}

# The wine loader for one width, as cmake/wine.cmake chooses it (the
# toolchain files ask the same module): sets loader, or cannot and detail.
choose_loader() {
    local out
    out=$(cmake -DMATMUL_WINE_BITS="$1" -P cmake/wine.cmake)
    loader=$(sed -n 's/^loader=//p' <<<"$out")
    cannot=$(sed -n 's/^cannot=//p' <<<"$out")
    detail=$(sed -n '/^detail=/,$p' <<<"$out" | sed '1s/^detail=//')
}

# Says why setting up wine failed: the message, then the first lines of
# what wine printed.
wine_failed() {
    echo "$1; what wine printed ($2) begins:" >&2
    head -n 20 "$2" >&2
}

# Runs one workflow preset, with its configure preset's environment, a wine
# prefix inside its build tree and a wine server that is up before CTest
# starts and stopped after it: started from inside a test, wine's background
# processes would hold the test's pipes open. Where this host cannot run the
# build's programs, the build is still configured and built, the tests that
# only read files run, and every test that would run a program shows as
# skipped (the configure finds the same answer as choose_loader).
run_workflow() {
    local workflow=$1 configure=$2 bits=$3 environment
    environment=$(preset_environment "$configure")
    eval "$environment"
    choose_loader "$bits"
    if [ -z "$loader" ]; then
        if [ "$bits" = 64 ]; then
            echo "cannot run the $configure build: $cannot" >&2
            [ -z "$detail" ] || echo "$detail" >&2
            return 1
        fi
        cmake --workflow --preset "$workflow" || return
        echo "== $configure: tests that run programs were not run: $cannot"
        [ -z "$detail" ] || echo "   ($detail)"
        return 0
    fi
    export WINELOADER=$loader
    # What wine prints while it is set up, kept beside the prefix.
    local log=$WINEPREFIX.log
    mkdir -p "$WINEPREFIX"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "== creating the wine prefix $WINEPREFIX with $loader"
        # Its exit status says little; the prefix's registry says it is ready.
        "$loader" wineboot --init </dev/null >"$log" 2>&1 || true
        wineserver -w || true
        [ -f "$WINEPREFIX/system.reg" ] || { wine_failed "could not create $WINEPREFIX" "$log"; return 1; }
    fi
    # A server already running for this prefix is fine: -p then says so and
    # leaves it be.
    wineserver -p || true
    if ! "$loader" wineboot </dev/null >"$log" 2>&1; then
        wine_failed "could not start wine's services with $loader" "$log"
        wineserver -k || true
        return 1
    fi
    local status=0
    cmake --workflow --preset "$workflow" || status=$?
    wineserver -k || true
    return $status
}

install_missing --i386 "${packages[@]}"
case "${1:-all}" in
    all) run_workflow win32 win32 32 && run_workflow win64 win64 64 ;;
    win32) run_workflow win32 win32 32 ;;
    win64) run_workflow win64 win64 64 ;;
    bench)
        choose_loader 32
        if [ -n "$loader" ]; then
            run_workflow win32-bench win32 32
        else
            echo "== timing the win64 build instead of win32: $cannot"
            run_workflow win64-bench win64 64
        fi
        ;;
    *) echo "usage: $0 [win32|win64|bench]" >&2; exit 2 ;;
esac
