#!/bin/sh
# What the counters' receive-thread hooks cost a plain frame: BM_FramePlainRatio in vorn_bench
# (hooks in) and in vorn_bench_hooks_off (hooks compiled out), one process at a time, the two
# builds alternating, and the median of each. The ratio varies by several percent from one
# process to the next, so one pair of processes says little; the medians of many do.
#   bench/hooks_ab.sh BENCH_DIR [PAIRS]      (PAIRS defaults to 11)
set -eu
dir=$1
pairs=${2:-11}
out=$(mktemp)
trap 'rm -f "$out"' EXIT

run() {
    "$dir/$1" --benchmark_filter='^BM_FramePlainRatio$' 2>/dev/null |
        sed -n 's/.*measured_ns=\([0-9.]*\).*ratio=\([0-9.]*\).*/\1 \2/p' | sed "s/^/$1 /"
}

i=0
while [ "$i" -lt "$pairs" ]; do
    run vorn_bench >>"$out"
    run vorn_bench_hooks_off >>"$out"
    i=$((i + 1))
done

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
for build in vorn_bench vorn_bench_hooks_off; do
    ns=$(awk -v b="$build" '$1 == b { print $2 }' "$out" | median)
    ratio=$(awk -v b="$build" '$1 == b { print $3 }' "$out" | median)
    printf '%-22s plain frame, median of %s processes: %s ns, %sx the baseline\n' "$build" "$pairs" "$ns" "$ratio"
done
