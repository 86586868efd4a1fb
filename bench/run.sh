#!/usr/bin/env bash
# Benchmarks of the Tovrel panel: loss, CPU, paint cost, memory and latency at
# the device's line rate, measured side by side in one run, and tovrel-export on
# an hour of recording. Prints one table and writes the figures to
# bench/results/<date>-<host>.csv.
#
#   bench/run.sh [--smoke] [--build DIR] [--no-build]
#
# --smoke    every part briefly (about 10 s): for CI, fails only when a
#            benchmark itself breaks, never on a figure
# --build    the CMake build folder to use (default: build)
# --no-build use the programs already built there
# --from-csv FILE  print the table of an earlier run from its CSV, measure nothing
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build"
SMOKE=0
DO_BUILD=1
FROM_CSV=""
while [ $# -gt 0 ]; do
    case "$1" in
    --smoke) SMOKE=1 ;;
    --build) BUILD="$(cd "$2" 2>/dev/null && pwd || echo "$2")"; shift ;;
    --no-build) DO_BUILD=0 ;;
    --from-csv) FROM_CSV="$2"; shift ;;
    -h | --help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done

LINE_RATE=6173 # records/s: 926000 baud 8N1 carries 92600 bytes/s, 15 bytes a record
# Loss runs are mode:percent, or mode:percent:chunk for the device writing its
# stream in pieces of CHUNKS (random sizes from a fixed seed, records split
# anywhere) instead of whole records.
CHUNKS="${BENCH_CHUNKS:-random:64}"
if [ "$SMOKE" = 1 ]; then
    MAIN_S=1.5; IDLE_S=0.3; WARM_S=0.5; LOSS_S=1.5; FLOOR_S=1.5; LAT_S=1.5; PAINT_N=200; HELD_S=0.5
    XCB_S=1.5
    LOSS_RUNS="calib:100 test:100:chunk"; EXPORT_S=5; EXPORT_RESUMES=100
else
    # 60 s for the run that also gives memory and CPU, 40 s for the other
    # loss runs: all of it stays within about eleven minutes.
    MAIN_S=60; IDLE_S=10; WARM_S=5; LOSS_S=40; FLOOR_S=20; LAT_S=20; PAINT_N=3000; HELD_S=5
    XCB_S=20 # each of test and calibration mode under a real X server
    EXPORT_S=3600 # an hour of recording: about 22 million lines, 1 GB
    EXPORT_RESUMES=10000 # as many as the panel writes to a segment at most
    LOSS_RUNS="test:25 test:50 test:75 test:150 test:100:chunk calib:25 calib:50 calib:75 calib:100 calib:150 calib:100:chunk"
fi

declare -A R # R[run.key] = value, from the programs' RESULT lines

if [ -n "$FROM_CSV" ]; then
    [ -f "$FROM_CSV" ] || { echo "run.sh: no file $FROM_CSV" >&2; exit 2; }
    # date,host,cores,cpu,load_start,load_end,run,key,value: the cpu may hold commas.
    while IFS=$'\t' read -r run key value; do
        R["$run.$key"]="$value"
    done < <(awk -F, 'NR > 1 { print $(NF-2) "\t" $(NF-1) "\t" $NF }' "$FROM_CSV")
    IFS=, read -r START HOST CORES _ < <(sed -n 2p "$FROM_CSV")
    LOAD_START="$(sed -n 2p "$FROM_CSV" | awk -F, '{ print $(NF-4) }')"
    LOAD_END="$(sed -n 2p "$FROM_CSV" | awk -F, '{ print $(NF-3) }')"
    CPU_MODEL="$(sed -n 2p "$FROM_CSV" | cut -d'"' -f2)"
    [ -n "${R[paint.kind]:-}" ] || SMOKE=1
else
    if [ "$DO_BUILD" = 1 ]; then
        if [ ! -f "$BUILD/CMakeCache.txt" ]; then
            cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
        fi
        cmake --build "$BUILD" --target tovrel-bench-panel tovrel-bench-floor tovrel-simdevice \
            tovrel-bench-export tovrel-export -j"${JOBS:-2}" >/dev/null
    fi
    PANEL="$BUILD/bench/tovrel-bench-panel"
    FLOOR="$BUILD/bench/tovrel-bench-floor"
    DEVICE="$BUILD/tools/tovrel-simdevice"
    EXPORT_BENCH="$BUILD/bench/tovrel-bench-export"
    EXPORT="$BUILD/tools/export/tovrel-export"
    for p in "$PANEL" "$FLOOR" "$DEVICE" "$EXPORT_BENCH" "$EXPORT"; do
        [ -x "$p" ] || { echo "run.sh: $p is missing (build it, or drop --no-build)" >&2; exit 2; }
    done

    # A port-map folder of our own, so that no COMn of a developer or of a test
    # running meanwhile is touched.
    WORK="$(mktemp -d /tmp/tovrel-bench.XXXXXX)"
    trap 'rm -rf "$WORK"' EXIT
    export XDG_DATA_HOME="$WORK/data" XDG_RUNTIME_DIR="$WORK/run" QT_QPA_PLATFORM=offscreen
    mkdir -p "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
    chmod 700 "$XDG_RUNTIME_DIR"

    RAW="$WORK/results.txt"
    : >"$RAW"
    STEP=0
    STEPS=$((5 + $(echo $LOSS_RUNS | wc -w)))
    # Users run the panel under X: the same stream with the window on a
    # virtual X server (Xvfb), where there is one.
    XCB=0
    command -v Xvfb >/dev/null && [ -e /usr/lib/x86_64-linux-gnu/qt6/plugins/platforms/libqxcb.so ] &&
        XCB=1 && STEPS=$((STEPS + 2))

    # run TAG PROGRAM ARGS...: runs one measurement and keeps its RESULT line.
    run() {
        local tag="$1"; shift
        STEP=$((STEP + 1))
        echo "[$STEP/$STEPS] $tag" >&2
        local out
        if ! out="$("$@" 2>"$WORK/stderr")"; then
            echo "run.sh: $tag failed:" >&2
            sed 's/^/  /' "$WORK/stderr" >&2
            exit 1
        fi
        local line
        line="$(printf '%s\n' "$out" | grep '^RESULT ' | tail -1)"
        if [ -z "$line" ]; then
            echo "run.sh: $tag printed no result" >&2
            sed 's/^/  /' "$WORK/stderr" >&2
            exit 1
        fi
        echo "$tag $line" >>"$RAW"
        local kv
        for kv in ${line#RESULT }; do
            R["$tag.${kv%%=*}"]="${kv#*=}"
        done
    }

    pct_rate() { awk -v p="$1" -v r="$LINE_RATE" 'BEGIN { printf "%.1f", r * p / 100 }'; }

    LOAD_START="$(cut -d' ' -f1-3 /proc/loadavg)"
    START="$(date '+%Y-%m-%d %H:%M:%S')"

    run paint "$PANEL" paint --iterations "$PAINT_N"
    run main "$PANEL" stream --simdevice "$DEVICE" --port 7 --rate "$LINE_RATE" \
        --seconds "$MAIN_S" --warmup "$WARM_S" --idle "$IDLE_S" --held "$HELD_S"
    run floor "$FLOOR" "$DEVICE" 8 "$LINE_RATE" "$FLOOR_S" "$WARM_S"
    run latency "$PANEL" latency --port 6 --rate "$LINE_RATE" --seconds "$LAT_S" --warmup "$WARM_S"
    for loss in $LOSS_RUNS; do
        IFS=: read -r mode pct chunk <<<"$loss"
        flags=()
        [ "$mode" = calib ] && flags+=(--calib)
        [ -n "$chunk" ] && flags+=(--chunks "$CHUNKS")
        run "$mode$pct$chunk" "$PANEL" stream "${flags[@]}" --simdevice "$DEVICE" --port 7 \
            --rate "$(pct_rate "$pct")" --seconds "$LOSS_S" --warmup "$WARM_S"
    done
    if [ "$XCB" = 1 ]; then
        XDISPLAY=":$((90 + RANDOM % 9))"
        Xvfb "$XDISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        XVFB=$!
        trap 'kill $XVFB 2>/dev/null || true; rm -rf "$WORK"' EXIT
        for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${XDISPLAY#:}" ] && break; sleep 0.1; done
        QT_QPA_PLATFORM=xcb DISPLAY="$XDISPLAY" run xcbtest "$PANEL" stream --simdevice "$DEVICE" \
            --port 7 --rate "$LINE_RATE" --seconds "$XCB_S" --warmup "$WARM_S"
        QT_QPA_PLATFORM=xcb DISPLAY="$XDISPLAY" run xcbcalib "$PANEL" stream --calib \
            --simdevice "$DEVICE" --port 7 --rate "$LINE_RATE" --seconds "$XCB_S" --warmup "$WARM_S"
        kill "$XVFB" 2>/dev/null || true
    fi
    # The recording is generated in our own folder and deleted with it; the
    # hour needs about 3 GB free for the recording and the CSV.
    run export "$EXPORT_BENCH" --export "$EXPORT" --seconds "$EXPORT_S" \
        --resumes "$EXPORT_RESUMES" --dir "$WORK"
    LOAD_END="$(cut -d' ' -f1-3 /proc/loadavg)"
    HOST="$(uname -n)"
    CPU_MODEL="$( (grep -m1 'model name' /proc/cpuinfo || echo ': unknown') | cut -d: -f2- | sed 's/^ *//;s/"//g')"
    CORES="$(nproc)"
fi

# --- the table ----------------------------------------------------------------

v() { echo "${R[$1]:-?}"; }
calc() { awk "BEGIN { $1 }"; }
loss_row() { # tag label pct
    local t="$1"
    printf '  %-6s %4s %%  %-9s  %6s  %8s  %8s  %6s  %7s  %6s  %9s  %7s  %5s  %5s\n' "$2" "$3" \
        "${R[$t.chunks]:-records}" \
        "$(calc "printf \"%.0f\", $(v $t.rate)")" "$(calc "printf \"%d\", $(v $t.last_index) + 1")" \
        "$(v $t.recorded)" "$(v $t.lost)" \
        "$(calc "n = $(v $t.last_index) + 1; printf \"%.2f %%\", (n ? 100 * $(v $t.lost) / n : 0)")" \
        "$(v $t.device_dropped)" "$(v $t.chunks_too_large) / $(v $t.chunks_next_held)" \
        "$(v $t.bytes_skipped)" "$(v $t.steps_lost)" "$(v $t.bad_lines)"
}

{
    echo "Tovrel panel benchmarks, $START on $HOST ($CORES cores, $CPU_MODEL)"
    echo "load average $LOAD_START at the start, $LOAD_END at the end$([ "$SMOKE" = 1 ] && echo ' -- SMOKE RUN, figures not meaningful')"
    echo
    echo "1. Records lost, recording on (test mode 100 %: ${MAIN_S} s, other runs: ${LOSS_S} s each)"
    LOSS_FMT='  %-6s %6s  %-9s  %6s  %8s  %8s  %6s  %7s  %6s  %9s  %7s  %5s  %5s\n'
    printf "$LOSS_FMT" "" "" "" "" "" "" "" "" "device" "chunks" "bytes" "steps" ""
    printf "$LOSS_FMT" mode rate writes rec/s produced recorded lost "lost %" dropped big/held \
        skipped lost bad
    declare -a rows=("main test 100 0")
    for run in $LOSS_RUNS; do
        IFS=: read -r mode pct chunk <<<"$run"
        rows+=("$mode$pct$chunk $mode $pct $([ -n "$chunk" ] && echo 1 || echo 0)")
    done
    # In order: test mode first, then calibration mode, each by rate, whole
    # records before pieces.
    printf '%s\n' "${rows[@]}" | sort -k2,2r -k3,3n -k4,4n | while read -r tag mode pct _; do
        loss_row "$tag" "$mode" "$pct"
    done
    echo "  produced: records up to the last one recorded, by running number (the filling buffer's"
    echo "    last bytes wait for the next stream and are not lost); lost: missing from the recording"
    echo "  device dropped: records the simulated device never wrote, the line refusing them (the"
    echo "    panel process not reading for about 0.2 s: 16 kB of pseudo-terminal and the device's"
    echo "    10 ms queue full); counted as lost"
    echo "  writes: how the device cut its stream: whole records every 2 ms, or random:N, pieces of"
    echo "    1..N bytes from a fixed seed at the same bytes per second, records split anywhere"
    echo "  chunks big/held: chunks the panel dropped, over 512 bytes / next buffer still held"
    echo "  bytes skipped: bytes the panel dropped to find the record boundary again (never"
    echo "    recorded); steps lost: times it found the stream out of step where it had been in step"
    echo "  bad: recorded lines holding no intact record"
    echo
    echo "2. CPU, share of one core                     panel     floor   panel/floor  target"
    printf '  %-42s %6s %%  %7s  %11s  %s\n' "idle, port open, no data (${IDLE_S} s)" \
        "$(v main.idle_cpu_pct)" "-" "-" "< 1 %"
    cpu_rows() { # tag label target
        printf '  %-42s %6s %%  %5s %%  %10sx  %s\n' "$2" "$(v $1.cpu_pct)" "$(v floor.cpu_pct)" \
            "$(calc "f = $(v floor.cpu_pct); printf \"%.1f\", (f > 0 ? $(v $1.cpu_pct) / f : 0)")" \
            "$3"
        printf '  %-42s %6s %%\n' "  of which the UI thread" "$(v $1.ui_cpu_pct)"
        printf '  %-42s %6s %%  (%s buffers of %s bytes on average, %s pauses)\n' \
            "  of which the worker" "$(v $1.worker_cpu_pct)" "$(v $1.buffers)" \
            "$(v $1.fill_bytes)" "$(v $1.pauses)"
        printf '  %-42s %6s/s a strip, %s/s a readout (screen: %s Hz)\n' "  paints, the busiest window of each kind" \
            "$(v $1.strip_paints_per_s_each)" "$(v $1.readout_paints_per_s_each)" "$(v $1.frame_hz)"
    }
    cpu_rows main "100 % line rate, test mode, recording on" "< 10 %, <= 2x floor"
    printf '  %-42s %6s/run, %s ms each, %s %% of the worker'"'"'s time\n' \
        "  of which fdatasync, once a second" "$(v main.syncs)" "$(v main.sync_ms_each)" \
        "$(v main.sync_pct)"
    cpu_rows calib100 "100 % line rate, calibration mode, rec. on" "<= 4x floor"
    if [ -n "${R[xcbtest.cpu_pct]:-}" ]; then
        cpu_rows xcbtest "the same, test mode, under X (Xvfb, ${XCB_S} s)" ""
        cpu_rows xcbcalib "the same, calibration mode, under X" ""
    fi
    printf '  %-42s %6s %%, %s wake-ups/s\n' "worker held, bytes waiting: the UI thread" \
        "$(v main.held_ui_cpu_pct)" "$(v main.held_ui_wakes_per_s)"
    echo "  (floor: plain termios read() of the same stream; CPU measured after ${WARM_S} s warm-up;"
    echo "   paints: at most one a frame of the screen)"
    echo
    echo "3. Paint, median of $(v paint.iterations) repaints (p99)                        target"
    printf '  %-42s %7s us (%s)  < 1 ms\n' \
        "full strip $(v paint.strip_w)x$(v paint.strip_h), full sweep" \
        "$(v paint.full_us)" "$(v paint.full_p99_us)"
    printf '  %-42s %7s us (%s)\n' "8-pixel band of that strip" "$(v paint.band_us)" \
        "$(v paint.band_p99_us)"
    printf '  %-42s %7s us (%s)\n' "readout $(v paint.readout_w)x$(v paint.readout_h)" \
        "$(v paint.readout_us)" "$(v paint.readout_p99_us)"
    echo
    echo "4. Memory, test mode at 100 % for ${MAIN_S} s                          target"
    printf '  %-42s %7s MB        < 80 MB\n' "peak resident" \
        "$(calc "printf \"%.1f\", $(v main.peak_rss_kb) / 1024")"
    printf '  %-42s %7s MB -> %s MB (%s MB)  flat\n' "resident, first 10 s -> last 10 s" \
        "$(calc "printf \"%.1f\", $(v main.rss_first10_kb) / 1024")" \
        "$(calc "printf \"%.1f\", $(v main.rss_last10_kb) / 1024")" \
        "$(calc "printf \"%+.2f\", ($(v main.rss_last10_kb) - $(v main.rss_first10_kb)) / 1024")"
    echo
    echo "5. Latency, device write -> decode, 100 % line rate, ${LAT_S} s ($(v latency.samples) decoded records)"
    printf '  %-42s %7s ms\n' "median" "$(v latency.median_ms)"
    printf '  %-42s %7s ms\n' "99th percentile" "$(v latency.p99_ms)"
    printf '  %-42s %7s ms\n' "largest" "$(v latency.max_ms)"
    if [ -n "${R[export.lines]:-}" ]; then # runs from before the export had none
    echo
    echo "6. Export of $(v export.seconds) s of recording at the full line rate: $(v export.lines) lines, $(calc "printf \"%.1f\", $(v export.rec_bytes) / 1e6") MB (generated)"
    echo "                                               wall     peak resident   output    target"
    printf '  %-42s %6s s  %9s MB  %8s MB  %s\n' "tovrel-export --edf" "$(v export.edf_s)" \
        "$(calc "printf \"%.1f\", $(v export.edf_peak_kb) / 1024")" \
        "$(calc "printf \"%.1f\", $(v export.edf_bytes) / 1e6")" "< 20 s, < 50 MB"
    printf '  %-42s %6s s  %9s MB  %8s MB\n' "tovrel-export --csv" "$(v export.csv_s)" \
        "$(calc "printf \"%.1f\", $(v export.csv_peak_kb) / 1024")" \
        "$(calc "printf \"%.1f\", $(v export.csv_bytes) / 1e6")"
    if [ -n "${R[export.resumes]:-}" ]; then # runs from before had no resumes
    printf '  %-42s %6s s  %9s MB  %8s files\n' "--edf, the stream resumed $(v export.resumes) times" \
        "$(v export.resumes_edf_s)" \
        "$(calc "printf \"%.1f\", $(v export.resumes_edf_peak_kb) / 1024")" \
        "$(v export.resumes_edf_files)"
    printf '  %-42s %6s s  %9s MB\n' "--csv, the stream resumed $(v export.resumes) times" \
        "$(v export.resumes_csv_s)" \
        "$(calc "printf \"%.1f\", $(v export.resumes_csv_peak_kb) / 1024")"
    fi
    echo "  (the recording was just written, so it is read from the page cache; outputs are synced)"
    fi
}

# --- the figures for a later comparison -----------------------------------------

if [ "$SMOKE" = 0 ] && [ -z "$FROM_CSV" ]; then
    mkdir -p "$ROOT/bench/results"
    CSV="$ROOT/bench/results/$(date '+%Y%m%d-%H%M%S')-$HOST.csv"
    {
        echo "date,host,cores,cpu,load_start,load_end,run,key,value"
        for key in $(printf '%s\n' "${!R[@]}" | sort); do
            echo "$START,$HOST,$CORES,\"$CPU_MODEL\",$LOAD_START,$LOAD_END,${key%%.*},${key#*.},${R[$key]}"
        done
    } >"$CSV"
    echo
    echo "figures written to ${CSV#$ROOT/}"
fi
