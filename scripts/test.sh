#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the optimised build (unit,
# end-to-end and the long one-hour tone test), then unit and end-to-end tests again
# under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages cmake make g++ pkg-config libasound2-dev libgtest-dev python3

jobs=$(nproc)
status=0

cmake --preset release -DWAKELET_TESTS=ON -DWAKELET_WERROR=ON -DPython3_EXECUTABLE=/usr/bin/python3
cmake --build --preset release -j "$jobs"
ctest --preset release -j "$jobs" || status=1

cmake --preset asan -DWAKELET_TESTS=ON -DWAKELET_WERROR=ON -DPython3_EXECUTABLE=/usr/bin/python3
cmake --build --preset asan -j "$jobs"
# The hour-long tone is the release run's; memory limits mean nothing to a sanitized process.
# The program handles a refused allocation itself, so the allocator must return null.
export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
WAKELET_SANITIZED=1 ctest --preset asan -j "$jobs" -LE long || status=1

# Then the Windows build: cross-compiled with MinGW-w64, tested under Wine.
bash scripts/test_windows.sh || status=1

exit $status
