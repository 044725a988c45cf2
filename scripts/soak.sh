#!/usr/bin/env bash
# Soak run: the application on simulated cameras that are plugged, unplugged
# and restarted all the time, with the preview on and an upgrade every minute.
# Samples resident memory, open descriptors and threads every 5 s and fails
# when any of them still grows after the first minute.
#   scripts/soak.sh BUILD_DIR MINUTES
set -euo pipefail
build=${1:?build folder}
minutes=${2:-10}
[ "$minutes" -ge 3 ] || { echo "soak: give at least 3 minutes" >&2; exit 2; }
app=$build/scripts/soak/lumora_soak
[ -x "$app" ] || { echo "soak: $app is missing; build first" >&2; exit 1; }
cd "$(dirname "$0")/.."

# Allowed growth between the quietest moment of the second minute and that of
# the last one: the minimum of each minute ignores an upgrade or a preview
# restart caught mid-way.
max_rss_kib=10240
max_fds=2
max_threads=2

work=$(mktemp -d "${TMPDIR:-/tmp}/lumora-soak-XXXXXX")
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
pid=

tools/make-demo-package -s 1024 -o "$work" "ORBIT 400" >/dev/null
package=$(ls "$work"/*.zip)

# The world: the Orvanta camera that is upgraded, two cameras of the other
# profile and a webcam, and a timeline repeating every minute.
camera() { # id vendor product name serial port firmware
  printf '{"id":"%s","vendorId":"%s","productId":"%s","manufacturer":"%s","product":"%s","serial":"%s","port":"%s","firmware":"%s"}' \
    "$1" "$2" "$3" "${4%% *}" "$4" "$5" "$6" "$7"
}
event() { printf '{"atMs":%d,"action":"%s","device":"%s"%s}' "$1" "$2" "$3" "${4:+,\"delayMs\":$4}"; }
{
  printf '{"cameras":[%s,%s,%s,%s],"timeline":[' \
    "$(camera orbit-400 0x5a17 0x0305 "ORBIT 400" OR4000127 1-4.2 1.0.0)" \
    "$(camera qx-4k 0x1d6b 0xff01 "QX NV-Optica-4K-AI" QX4K00017 1-1 1.4.2)" \
    "$(camera qx-1080 0x1d6b 0xff13 "QX NV-Optica-1080-AI" QX1080042 1-2 1.3.9)" \
    "$(camera webcam 0x3f1c 0x0a21 "HD USB Webcam" WC0001 1-5 2.0.1)"
  sep=
  for ((m = 0; m <= minutes; m++)); do
    base=$((m * 60000))
    for e in "$(event $((base + 10000)) unplug qx-4k)" "$(event $((base + 15000)) plug qx-4k)" \
             "$(event $((base + 20000)) restart qx-1080 3000)" "$(event $((base + 25000)) unplug webcam)" \
             "$(event $((base + 28000)) plug webcam)" "$(event $((base + 35000)) restart orbit-400 2000)" \
             "$(event $((base + 45000)) unplug orbit-400)" "$(event $((base + 48000)) plug orbit-400)"; do
      printf '%s%s' "$sep" "$e"
      sep=,
    done
  done
  printf ']}\n'
} >"$work/scenario.json"

echo "soak: $minutes minutes, samples every 5 s (seconds, RSS KiB, fds, threads)"
mkdir -p "$work/home"
# glibc raises its mmap threshold each time a large block (a 1080p frame) is
# freed, so for minutes frames move into the heap and the resident size climbs
# without a leak. A fixed threshold and two arenas keep that out of the figures.
export MALLOC_MMAP_THRESHOLD_=${MALLOC_MMAP_THRESHOLD_:-1048576} MALLOC_ARENA_MAX=${MALLOC_ARENA_MAX:-2}
HOME=$work/home QT_QPA_PLATFORM=offscreen LUMORA_SIM_SCENARIO=$work/scenario.json \
  "$app" "$package" "$minutes" >"$work/app.txt" 2>&1 &
pid=$!
start=$SECONDS
deadline=$((start + minutes * 60 + 180))
while kill -0 "$pid" 2>/dev/null && [ -r /proc/$pid/status ]; do
  rss=$(awk '/^VmRSS:/ {print $2}' /proc/$pid/status 2>/dev/null || true)
  fds=$(ls /proc/$pid/fd 2>/dev/null | wc -l)
  threads=$(ls /proc/$pid/task 2>/dev/null | wc -l)
  [ -n "$rss" ] && echo "$((SECONDS - start)) $rss $fds $threads" | tee -a "$work/samples.txt"
  if [ $SECONDS -gt $deadline ]; then
    echo "soak: FAILED, the application did not finish in time" >&2
    exit 1
  fi
  sleep 5
done
status=0
wait "$pid" || status=$?
pid=
cat "$work/app.txt" | grep '^soak:' || true
grep -c -- '-W- \|-C- ' "$work/home/.vistrel/vistrel.log" | sed 's/^/soak: warnings and criticals in the log: /' || true
if [ $status -ne 0 ]; then
  echo "soak: FAILED, the application ended with status $status" >&2
  tail -n 30 "$work/app.txt" >&2
  exit 1
fi

awk -v last=$((minutes - 1)) -v rssMax=$max_rss_kib -v fdMax=$max_fds -v thMax=$max_threads '
  { m = int($1 / 60); if (m > last) next
    if (!(m in rss) || $2 < rss[m]) rss[m] = $2
    if (!(m in fds) || $3 < fds[m]) fds[m] = $3
    if (!(m in th) || $4 < th[m]) th[m] = $4 }
  END {
    printf "soak: minute  min RSS KiB  min fds  min threads\n"
    for (m = 0; m <= last; m++) if (m in rss) printf "soak: %6d  %11d  %7d  %11d\n", m, rss[m], fds[m], th[m]
    dr = rss[last] - rss[1]; df = fds[last] - fds[1]; dt = th[last] - th[1]
    printf "soak: growth from minute 1 to minute %d: RSS %+d KiB, fds %+d, threads %+d\n", last, dr, df, dt
    if (dr > rssMax || df > fdMax || dt > thMax) { print "soak: FAILED, still growing after the first minute"; exit 1 }
    print "soak: passed, flat after the first minute"
  }' "$work/samples.txt"
