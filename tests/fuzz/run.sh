#!/usr/bin/env bash
# Builds and runs the receive-path fuzzer.
#
#   tests/fuzz/run.sh                 bounded run for CI: fixed seed, from the seeds
#                                     alone, 8000 inputs (the same ones each run)
#   tests/fuzz/run.sh --seconds N     fuzz for N seconds
#   tests/fuzz/run.sh --runs N        fuzz N inputs
#   tests/fuzz/run.sh --strict ...    also report the receive path's known limits
#                                     (see fuzz_receive.cpp, JudgeTornLines); the
#                                     regressions named finding-* then fail
#                                     (TOVREL_FUZZ_STRICT=bd: limits (b), (d) only)
#   tests/fuzz/run.sh ... -- ARGS     extra libFuzzer arguments
#
# BUILD_DIR (default <repo>/build-fuzz) holds the build, the generated seeds
# and the growing corpus; crashes are written there as crash-*.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${BUILD_DIR:-$root/build-fuzz}

ci=1
limit=(-runs=8000 -max_total_time=300 -seed=1 -use_cmp=0)
while [[ $# -gt 0 ]]; do
  case $1 in
    --seconds) ci=0; limit=(-max_total_time="$2"); shift 2 ;;
    --runs) ci=0; limit=(-runs="$2"); shift 2 ;;
    --strict) export TOVREL_FUZZ_STRICT=1; shift ;;
    --) shift; break ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done

if [[ ! -f $build/CMakeCache.txt ]]; then
  CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S "$here" -B "$build" >/dev/null
fi
cmake --build "$build" -j1 >/dev/null

mkdir -p "$build/seeds" "$build/corpus"
"$build/make_seeds" "$build/seeds"

# Inputs that once broke an invariant run first, every time; finding-* ones
# show a known limit, tolerated unless --strict, which lists those that do.
if [[ -z ${TOVREL_FUZZ_STRICT:-} ]]; then
  "$build/fuzz_receive" "$here"/regressions/* 2>&1 | grep -E '^(Executed|receive-path)' >&2
else
  for input in "$here"/regressions/*; do
    if ! "$build/fuzz_receive" "$input" >/dev/null 2>&1; then
      echo "still shows its finding: $(basename "$input")" >&2
    fi
  done
fi

cd "$build"
# The first directory is the one new inputs go to. The CI run starts afresh
# each time so that its result does not depend on earlier runs.
corpus=corpus
if [[ $ci == 1 ]]; then
  rm -rf ci-corpus && mkdir ci-corpus
  corpus=ci-corpus
fi
exec ./fuzz_receive "${limit[@]}" -max_len=16384 -print_final_stats=1 \
  "$@" "$corpus" seeds
