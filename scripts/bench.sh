#!/usr/bin/env bash
# Sets everything up and runs the benchmarks under Wine: the agent against its floors, one table on
# standard output, the logon storm's rows last. Pass --quick for a short run (fewer repetitions, 5 s
# of idleness).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
halyard_setup HalyardBench
QUICK="${1:-}"
STORM="$HALYARD_BUILD/storm"

# Under Wine every OutputDebugStringW, and every other call that asks the wineserver, is a round trip
# to it: about 10 us when the caller runs on the wineserver's processor, 45 us from another, and the
# scheduler places each process as it likes, so the same program measured twice came out 4x apart.
# Everything the bench runs, the wineservers included, runs on processor 0.
pinned_session() {
    taskset -c 0 bash -c "source '$HALYARD_ROOT/scripts/common.sh'; export WINEPREFIX='$1'; halyard_wine_session"
}
halyard_wine_stop
pinned_session "$WINEPREFIX"
(cd "$HALYARD_BUILD/bin" && taskset -c 0 wine HalyardBench.exe "$@" </dev/null)
halyard_wine_stop

# The logon storm: N agents started at once, and N floors the same way. Wine runs one session a prefix,
# so each member has a prefix of its own (a copy of the bench's, its files hard-linked, its registry,
# which Wine rewrites, copied), and both sides pay Wine's cost per prefix alike.
storm_prefix() { echo "$STORM/prefix-$1"; }
stop_storm() {
    for prefix in "$STORM"/prefix-*; do
        [ -d "$prefix" ] && WINEPREFIX="$prefix" wineserver -k </dev/null >/dev/null 2>&1
    done
    rm -rf "$STORM"
}
trap 'stop_storm; halyard_wine_stop' EXIT
rm -rf "$STORM"
mkdir -p "$STORM"
for member in $(seq 1 16); do
    cp -al "$WINEPREFIX" "$(storm_prefix "$member")"
    for hive in system.reg user.reg userdef.reg; do
        cp --remove-destination "$WINEPREFIX/$hive" "$(storm_prefix "$member")/$hive"
    done
    pinned_session "$(storm_prefix "$member")" &
done
wait

# One storm of one side: the time from the go until every window is ready (ms), and the private KiB
# and the CPU ms of all members 3 s later (idle, connected).
storm_once() {
    local size="$1" side="$2" run="$STORM/run" member
    rm -rf "$run"
    mkdir -p "$run"
    for member in $(seq 1 "$size"); do
        (cd "$HALYARD_BUILD/bin" && WINEPREFIX="$(storm_prefix "$member")" taskset -c 0 \
            wine HalyardBench.exe --storm-member "$side" "$(halyard_winpath "$run")" "$member" </dev/null >/dev/null 2>&1) &
    done
    for _ in $(seq 1 1200); do
        ready=("$run"/ready-*)
        [ -e "${ready[0]}" ] && [ "${#ready[@]}" -ge "$size" ] && break
        sleep 0.1
    done
    local go
    go=$(date +%s%N)
    touch "$run/go"
    wait
    cat "$run"/result-* 2>/dev/null | awk -v go="$go" -v size="$size" '
        { if ($1 > last) last = $1; kib += $2; cpu += $3; n++ }
        END { if (n == size) printf "%.2f %.0f %.0f\n", (last - go) / 1e6, kib, cpu; else print "- - -" }'
}

# "median (min-max)" of numbers, one a line.
summary() { grep . | sort -g | awk '{ v[NR] = $1 } END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2;
    printf "%s %s %s\n", m, v[1], v[NR] }'; }
row() {
    local measure="$1" unit="$2" format="$3" agent="$4" floor="$5" runs="$6"
    read -r am amin amax <<<"$(summary <<<"$agent")"
    read -r fm fmin fmax <<<"$(summary <<<"$floor")"
    printf "| %s | %s | $format ($format-$format) | $format ($format-$format) | %s | %s |\n" "$measure" "$unit" \
        "$am" "$amin" "$amax" "$fm" "$fmin" "$fmax" "$(awk -v a="$am" -v f="$fm" 'BEGIN { printf "%.2fx", a / f }')" "$runs"
}

repetitions=5
[ "$QUICK" = --quick ] && repetitions=1
echo "HalyardBench: logon storm..." >&2
for size in 1 4 16; do
    times=("" ""); kib=("" ""); cpu=("" "")
    for _ in $(seq 1 "$repetitions"); do
        for index in 0 1; do
            side=$([ $index = 0 ] && echo agent || echo floor)
            read -r time total used <<<"$(storm_once "$size" "$side")"
            times[index]+="$time"$'\n'
            kib[index]+="$total"$'\n'
            cpu[index]+="$used"$'\n'
        done
    done
    row "logon storm, $size at once: every window ready" ms "%.2f" "${times[0]}" "${times[1]}" "$repetitions"
    row "logon storm, $size at once: CPU until idle, all" ms "%.0f" "${cpu[0]}" "${cpu[1]}" "$repetitions"
    row "logon storm, $size at once: idle private bytes, all" KiB "%.0f" "${kib[0]}" "${kib[1]}" "$repetitions"
done
