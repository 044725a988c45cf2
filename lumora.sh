#!/usr/bin/env bash
# Lumora's one entry point for people and CI.
#   ./lumora.sh demo              install what is missing, build, run on the simulated cameras
#   ./lumora.sh test              install what is missing, build, run every test stage (plain,
#                                 the Debian package, ASan/UBSan, TSan, repeated thread tests,
#                                 thread tests on a loaded machine, a short fuzz slice)
#   ./lumora.sh run               install what is missing, build, run on the real cameras
#   ./lumora.sh fuzz [seconds]    build the libFuzzer targets and run each one (default 60 s)
#   ./lumora.sh soak [minutes]    the app on simulated cameras under churn (default 10 min);
#                                 fails when memory, descriptors or threads keep growing
#   ./lumora.sh package           the Debian package lumora_<version>_<arch>.deb in build,
#                                 checked by lintian; as root also installed, run and removed
set -euo pipefail
cd "$(dirname "$0")"

jobs=$(nproc)

build() { # build DIR [cmake options...] [-- targets...]
  local dir=$1; shift
  local -a options=() targets=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do options+=("$1"); shift; done
  [ $# -gt 0 ] && shift && targets=("$@")
  cmake -S . -B "$dir" -G Ninja "${options[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs" ${targets[@]+--target "${targets[@]}"}
}

run_tests() { # run_tests DIR [ctest options...]
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "$@")
}

# Seconds a stage spent building and testing, for the summary.
build_seconds=0 test_seconds=0
timed_build() { local start=$SECONDS; build "$@"; local rc=$?; build_seconds=$((SECONDS - start)); return $rc; }
timed_tests() { local start=$SECONDS; run_tests "$@"; local rc=$?; test_seconds=$((SECONDS - start)); return $rc; }

# The test stages build no benchmarks and no soak driver. The prefix is the
# package's, whose installed paths are compiled in: the package stage reuses the plain tree.
test_build=(-DLUMORA_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr)
asan_build=("${test_build[@]}" -DLUMORA_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug)
asan_options=detect_leaks=0 ubsan_options=print_stacktrace=1
# Cases that preload umockdev or run outside our binaries stay in the plain stage.
plain_only='umockdev|fleet'
# Deadlines in the tests are for a quiet machine and a plain build; slower
# stages stretch them all by one factor (tests/support/testsupport.h).
plain_factor=1 asan_factor=3 tsan_factor=5 loaded_factor=8

stage_plain() {
  timed_build build "${test_build[@]}" \
    && LUMORA_TEST_TIME_FACTOR=$plain_factor timed_tests build
}
stage_asan() {
  timed_build build-asan "${asan_build[@]}" \
    && ASAN_OPTIONS=$asan_options UBSAN_OPTIONS=$ubsan_options LUMORA_TEST_TIME_FACTOR=$asan_factor timed_tests build-asan -LE "$plain_only"
}
# The TSan tree builds only what its stage runs: the worker tests and the programs they start.
stage_tsan() {
  local -a tsan=("${test_build[@]}" -DLUMORA_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug) workers
  cmake -S . -B build-tsan -G Ninja "${tsan[@]}" >/dev/null || return 1
  mapfile -t workers < <(cd build-tsan && ctest -N -L worker -LE "$plain_only" | sed -n 's/^ *Test *#[0-9]*: //p')
  timed_build build-tsan "${tsan[@]}" -- "${workers[@]}" \
    && TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp second_deadlock_stack=1" LUMORA_TEST_TIME_FACTOR=$tsan_factor \
       timed_tests build-tsan -L worker -LE "$plain_only"
}
# Thread-starting tests again and again: a race that fails one run in a hundred shows here.
stage_repeat() {
  timed_build build-asan "${asan_build[@]}" \
    && ASAN_OPTIONS=$asan_options UBSAN_OPTIONS=$ubsan_options LUMORA_TEST_TIME_FACTOR=$asan_factor \
       timed_tests build-asan -L worker -LE "$plain_only" --repeat until-fail:3
}
# The thread-starting tests while other work keeps both cores busy, as on a
# user's machine in a video call: a test that fails only here has a race or a
# deadline to fix.
stage_loaded() {
  timed_build build-asan "${asan_build[@]}" || return 1
  stress-ng --cpu "$jobs" --timeout 3600 --quiet &
  local stress=$! rc=0
  ASAN_OPTIONS=$asan_options UBSAN_OPTIONS=$ubsan_options LUMORA_TEST_TIME_FACTOR=$loaded_factor timed_tests build-asan -L worker -LE "$plain_only" || rc=1
  kill "$stress" 2>/dev/null; wait "$stress" 2>/dev/null
  return $rc
}
# The Debian package from DIR's tree (built by then), checked with lintian and,
# as root, installed, run from /usr/bin and purged again.
package_deb() { # package_deb DIR
  local dir=$1 deb
  rm -f "$dir"/lumora_*.deb
  (cd "$dir" && cpack -G DEB >/dev/null) || return 1
  deb=$(ls "$dir"/lumora_*.deb)
  lintian --fail-on error "$deb" || return 1
  LUMORA_DEB=$PWD/$deb run_tests "$dir" -R package_install_deb || return 1
  echo "$deb"
}
stage_package() {
  timed_build build "${test_build[@]}" || return 1
  local start=$SECONDS rc=0
  package_deb build || rc=1
  test_seconds=$((SECONDS - start))
  return $rc
}
stage_fuzz() {
  local start=$SECONDS
  build_fuzz || return 1
  build_seconds=$((SECONDS - start)); start=$SECONDS
  fuzz_all "${1:-20}"; local rc=$?
  test_seconds=$((SECONDS - start))
  return $rc
}

build_fuzz() {
  build build-fuzz -DLUMORA_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
}

# Runs every target for the given seconds, two at a time; new inputs go to a
# scratch corpus so the committed seeds stay as they are.
fuzz_all() {
  local seconds=$1 failed=0 target name
  build_fuzz || return 1
  local out=build-fuzz/runs
  mkdir -p "$out"
  local -a pids=() names=()
  for target in build-fuzz/fuzz/fuzz_*; do
    [ -f "$target" ] && [ -x "$target" ] || continue
    name=$(basename "$target")
    mkdir -p "$out/$name/corpus" "$out/$name/crashes"
    (
      cd "$out/$name"
      mkdir -p home
      ASAN_OPTIONS=$asan_options UBSAN_OPTIONS=$ubsan_options QT_QPA_PLATFORM=offscreen HOME="$PWD/home" \
        "../../fuzz/$name" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix=crashes/ corpus "../../../fuzz/corpus/${name#fuzz_}" >log.txt 2>&1
    ) &
    pids+=($!); names+=("$name")
    if [ ${#pids[@]} -ge "$jobs" ]; then
      fuzz_wait "${pids[0]}" "${names[0]}" || failed=1
      pids=("${pids[@]:1}"); names=("${names[@]:1}")
    fi
  done
  while [ ${#pids[@]} -gt 0 ]; do
    fuzz_wait "${pids[0]}" "${names[0]}" || failed=1
    pids=("${pids[@]:1}"); names=("${names[@]:1}")
  done
  return $failed
}

fuzz_wait() { # fuzz_wait PID NAME
  local log=build-fuzz/runs/$2/log.txt runs
  if wait "$1"; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
    echo "  $2: clean, $runs runs"
  else
    echo "  $2: FAILED (log $log, inputs in build-fuzz/runs/$2/crashes/)"
    tail -n 40 "$log"
    return 1
  fi
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
    # Without the rule only a seat's own grants apply; said once, then run anyway.
    if ! ls /etc/udev/rules.d/70-lumora.rules /run/udev/rules.d/70-lumora.rules \
            /lib/udev/rules.d/70-lumora.rules /usr/lib/udev/rules.d/70-lumora.rules >/dev/null 2>&1; then
      echo "note: the udev rule 70-lumora.rules is not installed; update drives and some cameras may be out of reach (see README, \"Access\")"
    fi
    exec build/lumora
    ;;
  test)
    bash scripts/deps.sh lintian
    # Every stage runs even when an earlier one fails; the summary tells them apart.
    summary=() status=0 budget=5400
    for stage in plain package asan tsan repeat loaded fuzz; do
      echo "=== stage $stage"
      start=$SECONDS build_seconds=0 test_seconds=0
      if "stage_$stage"; then result=passed; else result=FAILED; status=1; fi
      summary+=("$(printf 'stage %-7s %-6s in %4d s (build %4d s, tests %4d s)' "$stage" "$result" \
        $((SECONDS - start)) "$build_seconds" "$test_seconds")")
    done
    echo "=== summary"
    printf '%s\n' "${summary[@]}"
    echo "total $SECONDS s since the start of this script: $((budget - SECONDS)) s inside CI's 90-minute budget"
    exit $status
    ;;
  fuzz)
    bash scripts/deps.sh
    fuzz_all "${2:-60}"
    ;;
  soak)
    bash scripts/deps.sh
    build build -DLUMORA_BENCH=ON
    exec bash scripts/soak.sh build "${2:-10}"
    ;;
  package)
    bash scripts/deps.sh lintian
    build build "${test_build[@]}"
    package_deb build
    ;;
  *)
    echo "usage: $0 demo|test|run|fuzz [seconds]|soak [minutes]|package" >&2
    exit 2
    ;;
esac
