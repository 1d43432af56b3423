#!/usr/bin/env bash
# Fails, listing the files, when a tracked C++ file is not as clang-format (with the
# project's .clang-format) would write it, or when a file under src/ includes one from a
# higher wing (scripts/check_wings.sh). Changes nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages clang-format git
mapfile -t files < <(git ls-files '*.cpp' '*.h')
unformatted=()
for file in "${files[@]}"; do
    clang-format --style=file --dry-run --Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
done
if [ ${#unformatted[@]} -ne 0 ]; then
    echo "Not formatted with clang-format (run: clang-format -i FILE):" >&2
    printf '  %s\n' "${unformatted[@]}" >&2
    exit 1
fi
echo "All ${#files[@]} C++ files are formatted."
# The same goes for the layout: no file under src/ includes one from a higher wing.
bash scripts/check_wings.sh
