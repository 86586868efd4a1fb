#!/usr/bin/env bash
# Soak run: the panel in a process of its own records the simulated device at
# the full line rate for a long while, switching between test mode and
# calibration mode (which logs every decoded record), and is then checked:
#   - nothing lost: the recording holds every record the device produced, by
#     their running numbers, and no line that is not an intact record
#   - resident memory flat within 5 % after the first minute
#   - the history log never beyond its cut (10000 bytes and one line)
#   - no error line in the log, no message box, no lost port
#   - the recording holds 47 bytes for every whole record of every buffer
#     the worker was handed
#
#   bench/soak.sh [--minutes N] [--calib-period S] [--status-every S]
#                 [--chunks PIECES | --whole-records] [--keep]
#
# --chunks   how the device cuts its stream into writes (its --chunks):
#            random:64 by default, pieces of 1..64 bytes from a fixed seed,
#            records split anywhere; --whole-records for whole records
# Not part of CI: ten minutes by default. BUILD_DIR (default <repo>/build-rel)
# is where the panel's driver (tovrel-bench-drive), the simulated device and
# the benchmark program that reads the recording back are built.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-rel}
minutes=10
calib_period=60
status_every=10
keep=0
chunks=random:64
port=16
while [[ $# -gt 0 ]]; do
  case $1 in
    --minutes) minutes=$2; shift 2 ;;
    --calib-period) calib_period=$2; shift 2 ;;
    --status-every) status_every=$2; shift 2 ;;
    --chunks) chunks=$2; shift 2 ;;
    --whole-records) chunks=records; shift ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,25p' "$0"; exit 0 ;;
    *) echo "soak.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done

if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target tovrel-bench-drive tovrel-simdevice tovrel-bench-panel -j1 >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/tovrel-soak.XXXXXX")
device_pid=
cleanup() {
  [[ -n $device_pid ]] && kill "$device_pid" 2>/dev/null && wait "$device_pid" 2>/dev/null
  if [[ $keep == 1 ]]; then
    echo "kept: $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

# The panel records into its own program's folder, and the port map lives
# under the home folder: both are the work folder.
cp "$build/bench/tovrel-bench-drive" "$work/panel-driver"
export HOME=$work QT_QPA_PLATFORM=offscreen

TOVREL_TEST_MODE=1 "$build/tools/tovrel-simdevice" --port "COM$port" --chunks "$chunks" \
  >"$work/device.out" 2>"$work/device.err" &
device_pid=$!
for _ in $(seq 100); do
  grep -q '^serving' "$work/device.out" 2>/dev/null && break
  sleep 0.1
done
grep -q '^serving' "$work/device.out" || { cat "$work/device.err" >&2; exit 1; }

seconds=$(awk -v m="$minutes" 'BEGIN { print m * 60 }')
echo "soak: ${minutes} min at the full line rate, calibration mode every other ${calib_period} s," \
  "device writes: $chunks"
set +e
"$work/panel-driver" --port "$port" --seconds "$seconds" \
  --calib-period "$calib_period" --status-every "$status_every" \
  >"$work/driver.out" 2>"$work/driver.err"
driver_rc=$?
set -e
kill "$device_pid" 2>/dev/null && wait "$device_pid" 2>/dev/null || true
device_pid=

grep -E '^(STATUS|FINAL)' "$work/driver.out" || true
grep -v 'XDG_RUNTIME_DIR' "$work/driver.err" >&2 || true
tail -n 1 "$work/device.err"

# The recording read back: records missing by their running numbers.
recording=$(sed -n 's/^RESULT file=\([^ ]*\) .*/\1/p' "$work/driver.out")
tally=
if [[ -n $recording && -f $recording ]]; then
  tally=$("$build/bench/tovrel-bench-panel" tally "$recording" 2>"$work/tally.err" |
    grep '^RESULT' || true)
  [[ -n $tally ]] || cat "$work/tally.err" >&2
fi
dropped=$(sed -n 's/.* \([0-9]*\) dropped$/\1/p' "$work/device.err" | tail -n 1)

{ echo "$tally" | sed 's/^RESULT/TALLY/'; cat "$work/driver.out"; } |
awk -v rc="$driver_rc" -v dropped="${dropped:-?}" '
  function field(name,   i, kv) {
    for (i = 2; i <= NF; ++i) { split($i, kv, "="); if (kv[1] == name) return kv[2] }
    return ""
  }
  /^(STATUS|FINAL)/ {
    t = field("t") + 0; rss = field("rss_kb") + 0; log_max = field("log_max") + 0
    if (t >= 60) {
      if (base == 0) base = rss
      if (rss > hi) hi = rss
      if (lo == 0 || rss < lo) lo = rss
    }
    held = field("next_held"); large = field("too_large"); deferred = field("deferred")
    skipped = field("bytes_skipped"); steps = field("steps_lost")
  }
  /^TALLY/ {
    tallied = 1; recorded = field("recorded"); lost = field("lost"); badlines = field("bad_lines")
    produced = field("last_index") + 1
  }
  /^RESULT/ {
    result = 1; bytes = field("file_bytes"); expected = field("expected_bytes")
    errors = field("errors"); cut = field("records_cut")
  }
  END {
    bad = 0
    if (!result) { print "FAIL: the driver printed no result (exit " rc ")"; exit 1 }
    if (!tallied) {
      print "FAIL: the recording could not be read back"; bad = 1
    } else {
      printf "records: %d produced up to the last recorded, %d recorded, %d lost, %d bad lines" \
        " (the device dropped %s, the line refusing them)\n", produced, recorded, lost, badlines, dropped
      if (lost != 0 || badlines != 0) { print "FAIL: records lost"; bad = 1 }
    }
    if (base > 0) {
      drift = (hi - lo) * 100.0 / base
      printf "resident memory after the first minute: %d..%d kB (%.1f %% of %d kB)\n", lo, hi, drift, base
      if (drift > 5) { print "FAIL: resident memory not flat"; bad = 1 }
    } else {
      print "resident memory: run shorter than a minute, not judged"
    }
    printf "history log at most %d bytes\n", log_max
    if (log_max > 10000 + 512) { print "FAIL: the history log outgrew its cut"; bad = 1 }
    printf "recording %s bytes for %s records cut (%s expected)\n", bytes, cut, expected
    if (bytes != expected) { print "FAIL: recording size differs"; bad = 1 }
    printf "chunks dropped: %s with the next buffer held, %s too large;" \
      " %s bytes skipped to find the record boundary, %s times out of step\n", held, large, skipped, steps
    printf "reads put off while the worker held the buffers: %s\n", deferred
    if (errors != 0) { print "FAIL: " errors " error(s) reported"; bad = 1 }
    if (rc != 0) { print "FAIL: driver exit " rc; bad = 1 }
    print bad ? "soak: FAILED" : "soak: passed"
    exit bad
  }' -
