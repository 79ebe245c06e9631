#!/bin/sh
# The test run's scratch folder, set up before the first test and removed after the last (also
# when tests failed or were killed): tests, the tools they run and the simulated cards keep
# their files there (TMPDIR, VORN_SIM_SHM_DIR). A day snapshot that tests wrote to the shared
# path is removed too, under the lock that its writers take.
#   tests/scratch.sh setup|cleanup SCRATCH
set -eu
scratch=$2
day_files() { (cd /tmp && ls -a) | grep -E '^\.[0-9]{8}_V2\.bin$' || true; }
case $1 in
setup)
    rm -rf "$scratch"
    mkdir -p "$scratch/tmp" "$scratch/shm"
    day_files >"$scratch/day_files_before"
    ;;
cleanup)
    if [ -f "$scratch/day_files_before" ]; then
        for name in $(day_files); do
            grep -qx "$name" "$scratch/day_files_before" || flock /tmp rm -f "/tmp/$name"
        done
    fi
    rm -rf "$scratch"
    ;;
*)
    echo "usage: $0 setup|cleanup SCRATCH" >&2
    exit 2
    ;;
esac
