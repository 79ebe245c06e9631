#!/bin/sh
# Builds the libFuzzer targets with clang in the given build directory, generates their seed
# inputs and runs each target for a short, bounded time. Fails on any crash.
#   CC=clang CXX=clang++ fuzz/run_smoke.sh build/fuzz
# Environment: FUZZ_SECONDS (per target, default 15), FUZZ_JOBS (build jobs, default 2),
# FUZZ_TARGETS (default: all five).
set -eu

BUILD_DIR=${1:-build/fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-15}
JOBS=${FUZZ_JOBS:-2}
TARGETS=${FUZZ_TARGETS:-"config snapshot chunk frame field"}
CC=${CC:-clang}
CXX=${CXX:-clang++}
SOURCE_DIR=$(cd "$(dirname "$0")/.." && pwd)

if ! command -v "$CC" >/dev/null 2>&1 || ! command -v "$CXX" >/dev/null 2>&1; then
    echo "fuzz smoke: $CXX not found, skipped (install clang to run the fuzz targets)"
    exit 0
fi
case "$("$CXX" --version 2>/dev/null | head -n 1)" in
    *clang*) ;;
    *) echo "fuzz smoke: $CXX is not clang, skipped"; exit 0 ;;
esac

SANITIZE="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"
CC="$CC" CXX="$CXX" cmake -S "$SOURCE_DIR" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release \
    -DVORN_BUILD_FUZZ=ON -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=OFF \
    -DCMAKE_C_FLAGS="$SANITIZE" -DCMAKE_CXX_FLAGS="$SANITIZE" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
BUILD_TARGETS="vorn_fuzz_seeds"
for t in $TARGETS; do BUILD_TARGETS="$BUILD_TARGETS vorn_fuzz_$t"; done
# shellcheck disable=SC2086
cmake --build "$BUILD_DIR" -j"$JOBS" --target $BUILD_TARGETS

WORK="$BUILD_DIR/fuzz-run"
rm -rf "$WORK"
mkdir -p "$WORK/seeds" "$WORK/artifacts"
"$BUILD_DIR/fuzz/vorn_fuzz_seeds" "$WORK/seeds"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
for t in $TARGETS; do
    corpus="$WORK/corpus/$t"
    mkdir -p "$corpus"
    max_len=4200
    [ "$t" = snapshot ] && max_len=16384
    seeds="$WORK/seeds/$t"
    committed="$SOURCE_DIR/fuzz/corpus/$t"
    regressions="$SOURCE_DIR/fuzz/regressions/$t"
    dirs="$corpus $seeds"
    [ -d "$committed" ] && dirs="$dirs $committed"
    # Known crashers first: each must now run clean.
    if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions" 2>/dev/null)" ]; then
        if ! "$BUILD_DIR/fuzz/vorn_fuzz_$t" -rss_limit_mb=2048 "$regressions"/* >"$WORK/$t.regressions.log" 2>&1; then
            echo "fuzz smoke: $t fails on a saved regression input, see $WORK/$t.regressions.log"
            status=1
            continue
        fi
    fi
    echo "fuzz smoke: $t for ${SECONDS_EACH}s"
    # shellcheck disable=SC2086
    if ! "$BUILD_DIR/fuzz/vorn_fuzz_$t" -max_total_time="$SECONDS_EACH" -rss_limit_mb=2048 \
            -max_len="$max_len" -timeout=10 -print_final_stats=1 \
            -artifact_prefix="$WORK/artifacts/$t-" $dirs >"$WORK/$t.log" 2>&1; then
        echo "fuzz smoke: $t FAILED; log $WORK/$t.log, reproducer in $WORK/artifacts/"
        tail -n 40 "$WORK/$t.log"
        status=1
    else
        grep -E "stat::number_of_executed_units|stat::new_units_added" "$WORK/$t.log" | tr '\n' ' ' || true
        echo
    fi
done
exit $status
