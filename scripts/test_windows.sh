#!/usr/bin/env bash
# The Windows stage of the tests: cross-compiles wakelet.exe and its tests with MinGW-w64
# and runs them under Wine, in a Wine prefix of its own that is removed afterwards; the
# tests also make the installer and the zip, and try the installer out.
# scripts/test.sh runs it after the Linux stages; it also runs on its own.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
# pulseaudio and pulseaudio-utils: the private server that Wine's PulseAudio driver (libwine) plays to.
ensure_packages cmake make g++-mingw-w64-x86-64-posix googletest wine64 python3 python3-pefile nsis \
    pulseaudio pulseaudio-utils

jobs=$(nproc)
prefix=$(mktemp -d "${TMPDIR:-/tmp}/wakelet-wine.XXXXXX")
cleanup() {
    WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
    rm -rf "$prefix"
}
trap cleanup EXIT
export WINEPREFIX="$prefix"

# With the Linux build's tone_dump at hand, the two builds' tones are compared too.
native=()
[ -x build/release/tests/tone_dump ] && native=(-DWAKELET_NATIVE_TONE_DUMP="$PWD/build/release/tests/tone_dump")
cmake --preset windows -DWAKELET_TESTS=ON -DWAKELET_WERROR=ON -DPython3_EXECUTABLE=/usr/bin/python3 "${native[@]}"
cmake --build --preset windows -j "$jobs"
# Wine takes a few seconds to set up a new prefix: once, before tests start side by side.
tests/windows/wine.sh wineboot --init >/dev/null 2>&1
# Among the tests: the installer and the zip, made and tried out.
ctest --preset windows -j "$jobs"
