# What the test stages need, each installed by its own script and all at once by
# scripts/test.sh, whose stages then run side by side. Sourced by the other scripts.
LINUX_TEST_PACKAGES=(cmake make g++ pkg-config libasound2-dev libpulse-dev libgtest-dev python3
    pulseaudio pulseaudio-utils libasound2-plugins dpkg-dev file man-db systemd
    dbus pipewire pipewire-pulse wireplumber alsa-utils lintian)
ARM64_TEST_PACKAGES=(cmake make g++ pkg-config libasound2-dev libpulse-dev libgtest-dev python3 dpkg-dev
    file g++-aarch64-linux-gnu qemu-user libasound2-dev:arm64 libpulse-dev:arm64 libasound2-plugins:arm64
    libgtest-dev:arm64)
# pulseaudio and pulseaudio-utils: the private server that Wine's PulseAudio driver (libwine) plays to.
# g++ to libgtest-dev: the Linux build's tone_dump, which the Windows build's tone must equal.
WINDOWS_TEST_PACKAGES=(cmake make g++-mingw-w64-x86-64-posix googletest wine64 python3 python3-pefile nsis
    pulseaudio pulseaudio-utils g++ pkg-config libasound2-dev libpulse-dev libgtest-dev)

# arm64 packages beside the machine's own (ensure_packages then updates the package lists).
add_arm64_architecture() {
    dpkg --print-foreign-architectures | grep -qx arm64 && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" dpkg --add-architecture arm64
}

# Installs, with apt-get, whichever of the given Debian packages are missing.
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
# The folder names the version it holds, and is unpacked again when `like` changes version.
unpack_package() {
    local package=$1 like=$2 folder=$3
    local version stamp
    version=$(dpkg-query -W -f='${Version}' "$like")
    stamp="$package $version"
    [ "$(cat "$folder/.unpacked" 2>/dev/null)" = "$stamp" ] && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    # A folder only this user can write to: nothing but what apt fetched (and checked against
    # the archive's signed index) lands there. apt's usual download user could not write
    # there, so as root apt downloads as root.
    local download
    download=$(mktemp -d)
    local fetch=(apt-get download -qq -o APT::Sandbox::User=root "$package=$version")
    if ! (cd "$download" && "${fetch[@]}" >&2); then
        "${sudo[@]}" apt-get update -qq >&2
        (cd "$download" && "${fetch[@]}" >&2) || { rm -rf "$download"; return 1; }
    fi
    local debs=("$download"/*) expected
    expected=$(printf 'Package: %s\nVersion: %s' "$package" "$version")
    if [ ${#debs[@]} -ne 1 ] || [ "$(dpkg-deb -f "${debs[0]}" Package Version)" != "$expected" ]; then
        echo "unpack_package: apt did not fetch $package $version alone: ${debs[*]}" >&2
        rm -rf "$download"
        return 1
    fi
    rm -rf "$folder" "$folder.partial"
    mkdir -p "$folder.partial"
    dpkg-deb -x "${debs[0]}" "$folder.partial"
    echo "$stamp" >"$folder.partial/.unpacked"
    mv "$folder.partial" "$folder"
    rm -rf "$download"
}
