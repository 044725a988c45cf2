#!/usr/bin/env bash
# Lumora's one entry point for people and CI.
#   ./lumora.sh demo              install what is missing, build, run on the simulated cameras
#   ./lumora.sh test              install what is missing, build, run every test stage (plain,
#                                 ASan/UBSan, TSan, repeated thread tests, a short fuzz slice)
#   ./lumora.sh run               install what is missing, build, run on the real cameras
#   ./lumora.sh fuzz [seconds]    build the libFuzzer targets and run each one (default 60 s)
#   ./lumora.sh soak [minutes]    the app on simulated cameras under churn (default 10 min);
#                                 fails when memory, descriptors or threads keep growing
#   ./lumora.sh package           the Debian package lumora_<version>_<arch>.deb in build-package,
#                                 checked by lintian; as root also installed, run and removed
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

asan_build=(-DLUMORA_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug)
asan_options=detect_leaks=0
ubsan_options=print_stacktrace=1

stage_plain() { build build && run_tests build; }
stage_asan() {
  build build-asan "${asan_build[@]}" \
    && ASAN_OPTIONS=$asan_options UBSAN_OPTIONS=$ubsan_options run_tests build-asan
}
stage_tsan() {
  build build-tsan -DLUMORA_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug \
    && TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp second_deadlock_stack=1" run_tests build-tsan -L worker
}
# Thread-starting tests again and again: a race that fails one run in a hundred shows here.
stage_repeat() {
  build build-asan "${asan_build[@]}" \
    && ASAN_OPTIONS=$asan_options UBSAN_OPTIONS=$ubsan_options run_tests build-asan -L worker --repeat until-fail:3
}
stage_fuzz() { fuzz_all "${1:-20}"; }

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
    bash scripts/deps.sh
    # Every stage runs even when an earlier one fails; the summary tells them apart.
    summary=() status=0
    for stage in plain asan tsan repeat fuzz; do
      echo "=== stage $stage"
      start=$SECONDS
      if "stage_$stage"; then result=passed; else result=FAILED; status=1; fi
      summary+=("$(printf 'stage %-7s %s in %d s' "$stage" "$result" $((SECONDS - start)))")
    done
    echo "=== summary"
    printf '%s\n' "${summary[@]}"
    exit $status
    ;;
  fuzz)
    bash scripts/deps.sh
    fuzz_all "${2:-60}"
    ;;
  soak)
    bash scripts/deps.sh
    build build
    exec bash scripts/soak.sh build "${2:-10}"
    ;;
  package)
    bash scripts/deps.sh lintian
    # A tree of its own: the installed paths are compiled in. Only what the package holds is built.
    cmake -S . -B build-package -G Ninja -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
    cmake --build build-package -j "$jobs" --target lumora-app lumora-cli lumora-decoder lumora-gz package_install_deb
    rm -f build-package/lumora_*.deb
    (cd build-package && cpack -G DEB >/dev/null)
    deb=$(ls build-package/lumora_*.deb)
    lintian --fail-on error "$deb"
    LUMORA_DEB=$PWD/$deb run_tests build-package -R package_install_deb
    echo "$deb"
    ;;
  *)
    echo "usage: $0 demo|test|run|fuzz [seconds]|soak [minutes]|package" >&2
    exit 2
    ;;
esac
