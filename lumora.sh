#!/usr/bin/env bash
# Lumora's one entry point for people and CI.
#   ./lumora.sh demo   install what is missing, build, run on the simulated cameras
#   ./lumora.sh test   install what is missing, build, run every test (plain, ASan/UBSan, TSan)
#   ./lumora.sh run    install what is missing, build, run on the real cameras
set -euo pipefail
cd "$(dirname "$0")"

jobs=$(nproc)

build() { # build DIR [cmake options...]
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

run_tests() { # run_tests DIR [ctest options...]
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "$@")
}

case "${1:-}" in
  demo)
    bash scripts/deps.sh
    build build
    LUMORA_PLATFORM=sim exec build/lumora
    ;;
  run)
    bash scripts/deps.sh
    build build
    exec build/lumora
    ;;
  test)
    bash scripts/deps.sh
    build build
    run_tests build
    build build-asan -DLUMORA_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 run_tests build-asan
    build build-tsan -DLUMORA_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
    TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp second_deadlock_stack=1" run_tests build-tsan -L worker
    ;;
  *)
    echo "usage: $0 demo|test|run" >&2
    exit 2
    ;;
esac
