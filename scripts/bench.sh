#!/usr/bin/env bash
# Sets everything up and runs the benchmarks under Wine: the agent against the platform floor, one
# table on standard output. Pass --quick for a short run (fewer repetitions, 5 s of idleness).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
halyard_setup HalyardBench

(cd "$HALYARD_BUILD/bin" && wine HalyardBench.exe "$@" </dev/null)
