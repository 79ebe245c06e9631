#!/bin/sh
# Builds the libFuzzer targets with clang in the given build directory, generates their seeds,
# replays the saved regression inputs and runs each target for a bounded time; fails on a crash.
#   CC=clang CXX=clang++ fuzz/run_smoke.sh build/fuzz
# Environment: FUZZ_SECONDS (per target, default 15), FUZZ_JOBS (build jobs, default 2),
# FUZZ_TARGETS (default: all five).
set -eu
BUILD_DIR=${1:-build/fuzz}
TARGETS=${FUZZ_TARGETS:-"config snapshot chunk frame field"}
CC=${CC:-clang} CXX=${CXX:-clang++}
SOURCE_DIR=$(cd "$(dirname "$0")/.." && pwd)
if ! "$CXX" --version 2>/dev/null | head -n 1 | grep -q clang; then
    echo "fuzz smoke: $CXX is not clang, skipped (install clang to run the fuzz targets)"
    exit 0
fi
SANITIZE="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"
CC="$CC" CXX="$CXX" cmake -S "$SOURCE_DIR" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_FUZZ=ON \
    -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=OFF -DCMAKE_C_FLAGS="$SANITIZE" -DCMAKE_CXX_FLAGS="$SANITIZE" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
# shellcheck disable=SC2046
cmake --build "$BUILD_DIR" -j"${FUZZ_JOBS:-2}" --target vorn_fuzz_seeds $(for t in $TARGETS; do echo "vorn_fuzz_$t"; done)
WORK="$BUILD_DIR/fuzz-run"
rm -rf "$WORK"
mkdir -p "$WORK/seeds" "$WORK/artifacts"
"$BUILD_DIR/fuzz/vorn_fuzz_seeds" "$WORK/seeds"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
for t in $TARGETS; do
    fuzzer="$BUILD_DIR/fuzz/vorn_fuzz_$t" regressions="$SOURCE_DIR/fuzz/regressions/$t"
    mkdir -p "$WORK/corpus/$t" "$WORK/seeds/$t"
    dirs="$WORK/corpus/$t $WORK/seeds/$t"
    [ -d "$SOURCE_DIR/fuzz/corpus/$t" ] && dirs="$dirs $SOURCE_DIR/fuzz/corpus/$t"
    if [ -n "$(ls -A "$regressions" 2>/dev/null)" ] &&
        ! "$fuzzer" -rss_limit_mb=2048 "$regressions"/* >"$WORK/$t.regressions.log" 2>&1; then
        echo "fuzz smoke: $t fails on a saved regression input, see $WORK/$t.regressions.log"
        status=1
        continue
    fi
    max_len=4200
    [ "$t" = snapshot ] && max_len=16384
    echo "fuzz smoke: $t for ${FUZZ_SECONDS:-15}s"
    # shellcheck disable=SC2086
    if "$fuzzer" -max_total_time="${FUZZ_SECONDS:-15}" -rss_limit_mb=2048 -max_len="$max_len" -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$WORK/artifacts/$t-" $dirs >"$WORK/$t.log" 2>&1; then
        grep -E "stat::number_of_executed_units|stat::new_units_added" "$WORK/$t.log" | tr '\n' ' ' || true
        echo
    else
        echo "fuzz smoke: $t FAILED; log $WORK/$t.log, reproducer in $WORK/artifacts/"
        tail -n 40 "$WORK/$t.log"
        status=1
    fi
done
exit $status
