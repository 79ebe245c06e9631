#!/bin/sh
# L1 data misses (D1mr + D1mw) and instructions per packet under cachegrind, for the library and
# the floor on both workloads, plain and encrypted. Each figure is the difference of two runs
# of SHORT and LONG packets divided by LONG - SHORT, so that start-up and frame generation
# cancel. The cache is the host's as cachegrind detects it.
#   bench/counts.sh BENCH_DIR [SHORT LONG]      (defaults 10000 30000)
set -eu
bin=$1/vorn_bench_counts
short=${2:-10000}
long=${3:-30000}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# "Ir D1miss" of one run, from cachegrind's summary.
count() {
    valgrind --tool=cachegrind --cache-sim=yes --cachegrind-out-file="$dir/out" "$bin" "$@" 2>/dev/null >/dev/null
    awk '/^events:/ { for (i = 2; i <= NF; i++) e[$i] = i }
         /^summary:/ { print $e["Ir"], $e["D1mr"] + $e["D1mw"] }' "$dir/out"
}

printf '%-8s %-10s %-8s %16s %14s\n' workload packet subject 'L1d misses/pkt' 'instr/pkt'
for workload in futures day; do
    for cipher in plain encrypted; do
        for subject in floor library; do
            a=$(count "$workload" "$subject" "$cipher" "$short")
            b=$(count "$workload" "$subject" "$cipher" "$long")
            echo "$a $b" | awk -v w="$workload" -v c="$cipher" -v s="$subject" -v n=$((long - short)) \
                '{ printf "%-8s %-10s %-8s %16.2f %14.0f\n", w, c, s, ($4 - $2) / n, ($3 - $1) / n }'
        done
    done
done
