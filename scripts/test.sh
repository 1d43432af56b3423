#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the optimised build (unit,
# end-to-end, the long one-hour tone test, and the tests against private PulseAudio and
# PipeWire daemons), the Debian packages, the unit, end-to-end and device-layer tests again
# under AddressSanitizer and UndefinedBehaviorSanitizer; then the ARM64 build under qemu and
# the Windows build under Wine, each compared with the optimised build's tone.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages cmake make g++ pkg-config libasound2-dev libpulse-dev libgtest-dev python3 \
    pulseaudio pulseaudio-utils libasound2-plugins dpkg-dev file man-db systemd \
    dbus pipewire pipewire-pulse wireplumber alsa-utils lintian

# PipeWire's own ALSA plugin conflicts with pulseaudio as a package; the tests load it
# from where it is unpacked.
unpack_package pipewire-alsa pipewire build/pipewire-alsa

jobs=$(nproc)
status=0
# How long each stage took, and the whole so far.
started=$SECONDS
stage() {
    echo "== $1: $((SECONDS - started)) s (from the start: $SECONDS s)"
    started=$SECONDS
}
stage "packages"

bash scripts/check_format.sh || status=1

cmake --preset release -DWAKELET_TESTS=ON -DWAKELET_WERROR=ON -DPython3_EXECUTABLE=/usr/bin/python3
cmake --build --preset release -j "$jobs"
ctest --preset release -j "$jobs" -LE sound_server || status=1
# These mostly wait on a sound server of their own, so they run side by side; but those
# that time the program take a core each, of as many as the machine has.
cores=$PWD/build/cores.json
printf '{"version": {"major": 1, "minor": 0}, "local": [{"cores": [{"id": "0", "slots": %d}]}]}\n' "$jobs" >"$cores"
ctest --preset release -j 8 -L sound_server --resource-spec-file "$cores" || status=1

# The Debian package; it is tested beside the ARM64 one, below.
rm -f build/package/*.deb build/linux-arm64/*.deb
cmake --preset package -DWAKELET_WERROR=ON
cmake --build --preset package -j "$jobs"
(cd build/package && cpack)
stage "release build, its tests and the package"

cmake --preset asan -DWAKELET_TESTS=ON -DWAKELET_WERROR=ON -DWAKELET_BENCH=OFF -DPython3_EXECUTABLE=/usr/bin/python3
cmake --build --preset asan -j "$jobs"
# The hour-long tone is the release run's; memory limits mean nothing to a sanitized process.
# The program handles a refused allocation itself, so the allocator must return null.
export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
WAKELET_SANITIZED=1 ctest --preset asan -j "$jobs" -LE 'long|sound_server' || status=1
# The device layer's thread against a real server, and a server lost mid-buffer.
ctest --preset asan -j 4 -R '^sound_server\.[A-Za-z]+\.(the_alsa_layer_on_its_own|a_killed_server)' \
    --resource-spec-file "$cores" || status=1

stage "sanitizer build and its tests"

# Then the ARM64 build: cross-compiled, tested under qemu-aarch64, and packaged.
bash scripts/test_arm64.sh || status=1
stage "ARM64"

# The two packages this run built (a missing one fails): checked with lintian, and tried
# out in mount, PID and cgroup namespaces of their own (the program, and its user unit
# under a user manager), never installed here.
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
debs=()
for folder in build/package build/linux-arm64; do
    found=("$folder"/wakelet_*.deb)
    debs+=("${found[0]}")
done
"${as_root[@]}" /usr/bin/python3 tests/package_test.py "${debs[@]}" || status=1
stage "the packages"

# Then the Windows build: cross-compiled with MinGW-w64, tested under Wine.
bash scripts/test_windows.sh || status=1
stage "Windows"

exit $status
