#!/usr/bin/env bash
# Prints the path of the clang++ on PATH (clang++ or clang++-NN) that the sources are checked
# with: of those whose --version says 16 or later, the oldest, nearest to clang 16, the oldest
# the sources must build with. Prints nothing and exits with 1 where there is none.
set -uo pipefail

best="" best_version=""
for name in $(compgen -c clang++ | grep -E '^clang\+\+(-[0-9]+)?$' | sort -u); do
    path=$(command -v "$name") || continue
    version=$("$path" --version 2>/dev/null |
        sed -n 's/.*clang version \([0-9][0-9]*\)\..*/\1/p' | head -n 1)
    if [ -n "$version" ] && [ "$version" -ge 16 ] &&
        { [ -z "$best" ] || [ "$version" -lt "$best_version" ]; }; then
        best=$path best_version=$version
    fi
done
[ -n "$best" ] && echo "$best"
