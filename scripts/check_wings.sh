#!/usr/bin/env bash
# Fails, listing the lines, when a file under src/ includes one from a higher wing. The
# wings, bottom to top; a file may include its own wing's files and those of lower wings.
set -euo pipefail
cd "$(dirname "$0")/.."
wings=(base audio console tone program)
status=0
for ((rank = 0; rank < ${#wings[@]}; rank++)); do
    higher=("${wings[@]:rank+1}")
    [ ${#higher[@]} -eq 0 ] && continue
    pattern="#include \"($(IFS='|'; echo "${higher[*]}"))/"
    if git grep -nE "$pattern" -- "src/${wings[rank]}/"; then status=1; fi
done
[ $status -eq 0 ] || { echo "These include a higher wing (order: ${wings[*]})." >&2; exit 1; }
missing=$(comm -23 <(git ls-files src | cut -d/ -f2 | sort -u) <(printf '%s\n' "${wings[@]}" | sort))
[ -z "$missing" ] || { echo "src/ holds folders outside the wing order: $missing" >&2; exit 1; }
echo "No file includes a higher wing (${wings[*]})."
