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

# Unpacks a Debian package, in the version that matches the installed `like` package, into
# a folder without installing it: for a package that conflicts with others the tests need.
unpack_package() {
    local package=$1 like=$2 folder=$3
    [ -d "$folder" ] && return 0
    local version download
    version=$(dpkg-query -W -f='${Version}' "$like")
    download=$(mktemp -d)
    chmod 777 "$download"  # apt's download user writes there
    if ! (cd "$download" && apt-get download -qq "$package=$version" >&2); then
        local sudo=()
        [ "$(id -u)" -eq 0 ] || sudo=(sudo)
        "${sudo[@]}" apt-get update -qq >&2
        (cd "$download" && apt-get download -qq "$package=$version" >&2)
    fi
    mkdir -p "$folder.partial"
    dpkg-deb -x "$download"/*.deb "$folder.partial"
    mv "$folder.partial" "$folder"
    rm -rf "$download"
}
