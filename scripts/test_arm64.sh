#!/usr/bin/env bash
# The ARM64 stage of the tests: cross-compiles wakelet and its tests for 64-bit ARM Linux
# with Debian's g++-aarch64-linux-gnu, against the arm64 libraries of a multiarch system,
# and runs the unit, long and end-to-end tests under qemu-aarch64; the end-to-end test also
# compares the build's minute and hour of tone with the x86-64 build's, sample for sample.
# Then it builds the arm64 Debian package and checks that it is one.
# It runs on its own, or in two parts, `build` then `test`, as scripts/test.sh runs it
# beside the other stages.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

add_arm64_architecture
ensure_packages "${ARM64_TEST_PACKAGES[@]}"

part=${1:-all}
jobs=$(nproc)
status=0

# The x86-64 build's tone_dump, to compare the tones with: the Linux stage's, or built here.
native=build/release/tests/tone_dump
if [ "$part" != test ]; then
    if [ ! -x "$native" ]; then
        cmake --preset release -DWAKELET_TESTS=ON -DPython3_EXECUTABLE=/usr/bin/python3
        cmake --build --preset release -j "$jobs" --target tone_dump
    fi
    cmake --preset linux-arm64 -DWAKELET_TESTS=ON -DWAKELET_WERROR=ON -DWAKELET_BENCH=OFF \
        -DPython3_EXECUTABLE=/usr/bin/python3 \
        -DWAKELET_NATIVE_TONE_DUMP="$PWD/$native"
    cmake --build --preset linux-arm64 -j "$jobs"
fi
[ "$part" = build ] && exit 0

# The sound-server tests stay with the native build: they test the servers' side, not the processor's.
mkdir -p build/logs  # each test's verdict and output, for scripts/skips.py
ctest --preset linux-arm64 -j "$jobs" -LE sound_server --output-junit "$PWD/build/logs/junit-arm64.xml" || status=1

# The arm64 package: built, and checked to be arm64 throughout (installing it needs an
# arm64 machine).
(cd build/linux-arm64 && rm -f ./*.deb && cpack)
deb=build/linux-arm64/wakelet_0.5_arm64.deb
architecture=$(dpkg-deb --field "$deb" Architecture)
machine=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/bin/wakelet |
    python3 -c 'import sys; print(int.from_bytes(sys.stdin.buffer.read()[18:20], "little"))')
echo "$deb: Architecture $architecture, Depends $(dpkg-deb --field "$deb" Depends)"
if [ "$architecture" != arm64 ] || [ "$machine" != 183 ]; then  # 183: EM_AARCH64
    echo "$deb is not an arm64 package of an AArch64 program (Architecture $architecture, ELF machine $machine)" >&2
    status=1
fi

exit $status
