#!/usr/bin/env bash
# Builds wakelet (installing what the build needs) and runs it with the given arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages cmake make g++ pkg-config libasound2-dev libpulse-dev
log=build/run-build.log
mkdir -p build
# A preset of its own, so that the release build's tests stay configured.
if ! { cmake --preset program && cmake --build --preset program -j "$(nproc)"; } >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
fi
exec build/program/wakelet "$@"
