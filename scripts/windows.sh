#!/usr/bin/env bash
# Builds the program and its kernel libraries for Windows with mingw-w64 and
# runs them under wine: the whole test suite (default, for win32 then win64),
# or the bench ("bench", on win32). Installs the cross compilers and wine
# from Debian's archive first where they are missing.
#
#   scripts/windows.sh              # test win32 and win64
#   scripts/windows.sh win32        # test one of them
#   scripts/windows.sh bench        # time the kernels on win32
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

# Runs one workflow preset, with its configure preset's environment, a wine
# prefix inside its build tree and a wine server that is up before CTest
# starts and stopped after it: started from inside a test, wine's background
# processes would hold the test's pipes open.
run_workflow() {
    local workflow=$1 configure=$2 environment
    environment=$(preset_environment "$configure")
    eval "$environment"
    mkdir -p "$WINEPREFIX"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "== creating the wine prefix $WINEPREFIX"
        # Its exit status says little; the prefix's registry says it is ready.
        wineboot --init </dev/null >/dev/null 2>&1 || true
        wineserver -w || true
        [ -f "$WINEPREFIX/system.reg" ] || { echo "could not create $WINEPREFIX" >&2; return 1; }
    fi
    # A server already running for this prefix is fine: -p then says so and
    # leaves it be.
    wineserver -p || true
    wine wineboot </dev/null >/dev/null 2>&1
    local status=0
    cmake --workflow --preset "$workflow" || status=$?
    wineserver -k || true
    return $status
}

install_missing --i386 "${packages[@]}"
case "${1:-all}" in
    all) run_workflow win32 win32 && run_workflow win64 win64 ;;
    win32 | win64) run_workflow "$1" "$1" ;;
    bench) run_workflow win32-bench win32 ;;
    *) echo "usage: $0 [win32|win64|bench]" >&2; exit 2 ;;
esac
