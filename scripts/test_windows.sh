#!/usr/bin/env bash
# The Windows stage of the tests: cross-compiles wakelet.exe and its tests with MinGW-w64
# and runs them under Wine, in a Wine prefix of its own that is removed afterwards; the
# tests also make the installer and the zip, and try the installer out.
# It runs on its own, or in parts as scripts/test.sh runs it beside the other stages:
# `build`; `beside`, every test but the one that times the program's cycles, leaving the
# heard tests' Wine prefix; and `timed`, that one, which needs the machine to itself.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages "${WINDOWS_TEST_PACKAGES[@]}"

part=${1:-all}
jobs=$(nproc)
prefix=$(mktemp -d "${TMPDIR:-/tmp}/wakelet-wine.XXXXXX")
cleanup() {
    WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
    rm -rf "$prefix"
}
trap cleanup EXIT
export WINEPREFIX="$prefix"

if [ "$part" = all ] || [ "$part" = build ]; then
    # The Linux build's tone_dump, which the Windows build's tone is compared with: the Linux
    # stage's, or built here.
    native=build/release/tests/tone_dump
    if [ ! -x "$native" ]; then
        cmake --preset release -DWAKELET_TESTS=ON -DPython3_EXECUTABLE=/usr/bin/python3
        cmake --build --preset release -j "$jobs" --target tone_dump
    fi
    cmake --preset windows -DWAKELET_TESTS=ON -DWAKELET_WERROR=ON -DPython3_EXECUTABLE=/usr/bin/python3 \
        -DWAKELET_NATIVE_TONE_DUMP="$PWD/$native"
    cmake --build --preset windows -j "$jobs"
fi
# Wine takes a few seconds to set up a new prefix: once, before tests start side by side.
if [ "$part" = all ] || [ "$part" = beside ]; then
    tests/windows/wine.sh wineboot --init >/dev/null 2>&1
fi
# Each run's list of tests, with what each said, for scripts/skips.py.
junit=$PWD/build/logs
mkdir -p "$junit"
timed='^end_to_end\.wines_pulseaudio_driver_plays_the_tone_in_whole_minutes$'
case $part in
    build) ;;
    beside) ctest --preset windows -j "$jobs" -E "$timed|^heard_prefix_removed$" --fixture-exclude-cleanup heard \
        --output-junit "$junit/junit-windows.xml" ;;
    timed) ctest --preset windows --no-tests=error -R "$timed" --fixture-exclude-setup heard \
        --output-junit "$junit/junit-windows-timed.xml" ;;
    # Among the tests: the installer and the zip, made and tried out.
    *) ctest --preset windows -j "$jobs" --output-junit "$junit/junit-windows.xml" ;;
esac
