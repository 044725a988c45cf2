#!/usr/bin/env bash
# Records the golden run's outputs afresh into tests/golden/expected, from the
# build in BUILD_DIR (default: build). Review the diff before committing it:
# it is what tests/golden holds every later change against.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
cmake --build "$dir" --target golden_run
LUMORA_GOLDEN_RECORD=1 ctest --test-dir "$dir" -R '^golden_run$' --output-on-failure
git status --short tests/golden/expected
