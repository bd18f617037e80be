# Sourced by the build scripts: install_missing [--i386] <package>...
# installs, from Debian's archive, those of the packages that are not
# installed yet (as root, or through sudo). --i386 first adds the i386
# architecture, for packages such as wine32:i386.
install_missing() {
    local i386=0
    if [ "${1:-}" = --i386 ]; then
        i386=1
        shift
    fi
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    [ $i386 -eq 0 ] || "${sudo[@]}" dpkg --add-architecture i386
    # The i386 and amd64 lists can disagree for a moment; one retry settles it.
    "${sudo[@]}" apt-get update -qq || "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
