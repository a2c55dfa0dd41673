#!/usr/bin/env bash
# Non-blank lines of C++ in the tests (tests/) and in the code (everything else git
# tracks), and their ratio: the figure the project keeps between a quarter and a third.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { xargs -r cat | grep -cv '^[[:space:]]*$' || true; }
code=$(git ls-files '*.cpp' '*.h' | grep -v '^tests/' | count)
tests=$(git ls-files 'tests/*.cpp' 'tests/*.h' | count)
awk -v c="$code" -v t="$tests" 'BEGIN { printf "tests %d, code %d, ratio %.2f\n", t, c, t / c }'
