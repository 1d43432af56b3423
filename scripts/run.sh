#!/usr/bin/env bash
# Builds wakelet (installing what the build needs) and runs it with the given arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages cmake make g++ pkg-config libasound2-dev libpulse-dev
log=build/run-build.log
mkdir -p build
if ! { cmake --preset release -DWAKELET_TESTS=OFF && cmake --build --preset release -j "$(nproc)"; } >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
fi
exec build/release/wakelet "$@"
