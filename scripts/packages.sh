# Installs, with apt-get, whichever of the given Debian packages are missing.
# Sourced by the other scripts.
ensure_packages() {
    local missing=()
    local package wanted
    for package in "$@"; do
        # One line an installed architecture (a package can be installed for two); a name
        # without :arch wants the machine's own architecture, or an architecture-free package.
        wanted="$(dpkg --print-architecture)|all"
        [[ "$package" == *:* ]] && wanted="${package##*:}"
        dpkg-query -W -f='${Status} ${Architecture}\n' "$package" 2>/dev/null |
            grep -E "^install ok installed ($wanted)\$" >/dev/null || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing: ${missing[*]}" >&2
    "${sudo[@]}" apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}
