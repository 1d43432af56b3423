#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the optimised build (unit,
# end-to-end, the long one-hour tone test, and the tests against private PulseAudio and
# PipeWire daemons), the Debian packages, the unit, end-to-end and device-layer tests again
# under AddressSanitizer and UndefinedBehaviorSanitizer, the ARM64 build under qemu and the
# Windows build under Wine, each compared with the optimised build's tone.
#
# The sound-server tests mostly wait out the program's one-minute cycles, so the other
# stages run beside them, their builds at a lower priority. Their output follows when each
# is done. The Windows test that times the cycles runs last, with nothing beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

jobs=$(nproc)
status=0
# Runs one stage, and says how long it took and when it ended.
stage() {
    local name=$1 started=$SECONDS result=0
    shift
    "$@" || result=$?
    local verdict=""
    [ $result -eq 0 ] || verdict=", FAILED"
    echo "== $name: $((SECONDS - started)) s, ended at $SECONDS s$verdict"
    return $result
}

# Every stage's, before the stages run side by side: apt takes one caller at a time.
install_packages() {
    add_arm64_architecture &&
        ensure_packages "${LINUX_TEST_PACKAGES[@]}" "${ARM64_TEST_PACKAGES[@]}" "${WINDOWS_TEST_PACKAGES[@]}" &&
        # PipeWire's own ALSA plugin conflicts with pulseaudio as a package; the tests load
        # it from where it is unpacked.
        unpack_package pipewire-alsa pipewire build/pipewire-alsa
}
stage "packages" install_packages

stage "format" bash scripts/check_format.sh || status=1

release() {
    cmake --preset release -DWAKELET_TESTS=ON -DWAKELET_WERROR=ON -DPython3_EXECUTABLE=/usr/bin/python3 &&
        cmake --build --preset release -j "$jobs"
}
stage "release build" release

low() { nice -n 10 "$@"; }
# A stage that tests a build beside runs only once this run has made that build: a build
# that failed leaves the last run's in place.
mkdir -p build/logs
rm -f build/logs/built-* build/logs/junit-*.xml build/logs/packages.log
built() { touch "build/logs/built-$1"; }
made() {
    [ -e "build/logs/built-$1" ] && return 0
    echo "== not run: the $1 build failed or did not run" >&2
    return 1
}
# The hour-long tone is the release run's; memory limits mean nothing to a sanitized process.
# The program handles a refused allocation itself, so the allocator must return null. A
# device that writes to a header after the cycle has returned must show: returned frames
# are poisoned.
sanitized() {
    ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:detect_stack_use_after_return=1 UBSAN_OPTIONS=print_stacktrace=1 "$@"
}
sanitizer() {
    local result=0
    cmake --preset asan -DWAKELET_TESTS=ON -DWAKELET_WERROR=ON -DWAKELET_BENCH=OFF \
        -DPython3_EXECUTABLE=/usr/bin/python3 && low cmake --build --preset asan -j "$jobs" || return 1
    built asan
    WAKELET_SANITIZED=1 sanitized ctest --preset asan -j "$jobs" -LE 'long|sound_server' \
        --output-junit "$PWD/build/logs/junit-asan.xml" || result=1
    # A server lost mid-buffer (counting the program's CPU time, which other work does not add
    # to), and a device whose calls block; the device layer's own test against a server,
    # which times it, runs with the release's below.
    sanitized ctest --preset asan --no-tests=error -j "$jobs" -R '^sound_server\.([A-Za-z]+\.a_killed_server|BlockingPlugin\.)' \
        --output-junit "$PWD/build/logs/junit-asan-sound-servers.xml" || result=1
    return $result
}
package() {
    rm -f build/package/*.deb build/linux-arm64/*.deb
    cmake --preset package -DWAKELET_WERROR=ON && low cmake --build --preset package -j "$jobs" &&
        (cd build/package && cpack)
}
cross() {
    local result=0
    if stage "ARM64 build" low bash scripts/test_arm64.sh build; then
        stage "ARM64 tests and package" bash scripts/test_arm64.sh test || result=1
    else
        result=1
    fi
    stage "Windows build" low bash scripts/test_windows.sh build && built windows || return 1
    stage "Windows tests but the timed one" bash scripts/test_windows.sh beside || result=1
    return $result
}
# The two packages this run built (a missing one fails): checked with lintian, and tried
# out in mount, PID and cgroup namespaces of their own (the program, and its user unit
# under a user manager), never installed here.
packages() {
    local as_root=() debs=() folder found
    [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    for folder in build/package build/linux-arm64; do
        found=("$folder"/wakelet_*.deb)
        debs+=("${found[0]}")
    done
    "${as_root[@]}" /usr/bin/python3 tests/package_test.py "${debs[@]}" 2>&1 | tee build/logs/packages.log
}
others() {
    local result=0
    stage "Debian package" package || result=1
    cross || result=1
    stage "the packages" packages || result=1
    return $result
}

# Beside, each in a process group of its own, so that an interrupted run ends them too.
set -m
stage "sanitizer build and tests" sanitizer >build/logs/sanitizer.log 2>&1 &
sanitizer_lane=$!
others >build/logs/others.log 2>&1 &
others_lane=$!
set +m
stop_lanes() { kill -- "-$sanitizer_lane" "-$others_lane" 2>/dev/null || true; }
trap stop_lanes EXIT
trap 'exit 130' INT TERM
# Waits for a stage beside, and shows its output.
joined() {
    local result=0
    wait "$1" || result=1
    cat "$2"
    return $result
}

stage "release tests" ctest --preset release -j "$jobs" -LE sound_server --output-junit "$PWD/build/logs/junit-release.xml" ||
    status=1
# These mostly wait on a sound server of their own, so they run side by side; but those
# that time the program take a core each, of as many as the machine has.
cores=$PWD/build/cores.json
printf '{"version": {"major": 1, "minor": 0}, "local": [{"cores": [{"id": "0", "slots": %d}]}]}\n' "$jobs" >"$cores"
# Those that time the program or the device layer by a server's graph wait for the stages
# beside to end: their work (Wine building the hour, qemu running the ARM64 tests, the
# compilers) makes a server's graph miss cycles, niced or not, and a buffer then plays late.
layer='^sound_server\.[A-Za-z]+\.the_alsa_layer_on_its_own$'
timed='^sound_server\.[A-Za-z]+\.(the_alsa_layer_on_its_own|verbose_mode_[a-z_]+|short_stalls_[a-z_]+)$'
stage "sound servers" ctest --preset release -j 8 -L sound_server -E "$timed" --resource-spec-file "$cores" \
    --output-junit "$PWD/build/logs/junit-sound-servers.xml" || status=1

joined $sanitizer_lane build/logs/sanitizer.log || status=1
joined $others_lane build/logs/others.log || status=1
# The timed sound-server tests, and the device layer's thread heard at a sink's monitor in
# the sanitized build too, once the stages beside are done.
timed_sound_servers() {
    local result=0
    ctest --preset release --no-tests=error -j 8 -R "$timed" --resource-spec-file "$cores" \
        --output-junit "$PWD/build/logs/junit-timed.xml" || result=1
    made asan && sanitized ctest --preset asan --no-tests=error -j "$jobs" -R "$layer" --resource-spec-file "$cores" \
        --output-junit "$PWD/build/logs/junit-asan-layer.xml" || result=1
    return $result
}
stage "timed sound-server tests, and the sanitized device layer" timed_sound_servers || status=1
windows_timed() { made windows && bash scripts/test_windows.sh timed; }
stage "Windows timed test" windows_timed || status=1

# What did not run, and why: every skip should have a reason that holds on this machine.
skipped=$(python3 scripts/skips.py build/logs/junit-*.xml build/logs/packages.log) ||
    skipped="  (scripts/skips.py failed: the list is incomplete)"
if [ -n "$skipped" ]; then
    echo "== skipped, with why:"
    echo "$skipped"
else
    echo "== skipped: nothing"
fi

exit $status
