#!/usr/bin/env bash
# The master on a veth pair against the emulator program: bring-up of 10, 100
# and 1,000 slaves, the whole tool run of 100 slaves against the same run in
# process, and the cyclic exchange at 1 ms for 10 s with and without
# SCHED_FIFO. Prints rows of the benchmark's table (measurement, measured,
# target, met). Runs as root inside tests/wire/in_netns.sh, which makes the
# pair (ecm0, ecs0) and removes it with every process left in it:
#   tests/wire/in_netns.sh 900 bench/wire_bench.sh BIN_DIR
set -u
bin=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/pvwirebench.XXXXXX)
emulator_pid=""
driver_pid=""
cleanup() {
    [ -n "$driver_pid" ] && kill -9 "$driver_pid" 2>/dev/null
    [ -n "$emulator_pid" ] && kill -9 "$emulator_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

row() { printf '| %-44s | %-26s | %-15s | %-4s |\n' "$1" "$2" "$3" "$4"; }
now_ns() { date +%s%N; }
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

start_emulator() {  # ENI [PREFIX...]
    local eni=$1
    shift
    "$@" "$bin/ecat-emulator" -nic=ecs0 -eni="$eni" >"$work/emulator.out" 2>&1 &
    emulator_pid=$!
    for _ in $(seq 1 2000); do
        grep -q serving "$work/emulator.out" && return 0
        kill -0 "$emulator_pid" 2>/dev/null || break
        sleep 0.01
    done
    echo "the emulator did not start: $(cat "$work/emulator.out")" >&2
    exit 1
}
stop_emulator() { kill "$emulator_pid" 2>/dev/null; wait "$emulator_pid" 2>/dev/null; emulator_pid=""; }

# A node folder of its own per driver run.
new_node() {
    node=$(mktemp -d "$work/node.XXXXXX")
    export RT_NODE_DIR=$node ECAT_MASTER_INI_FILE=$bin/config/master.ini
}
start_driver() {  # [PREFIX...] -- OPTIONS...: returns once it ended its initialisation
    local prefix=()
    while [ "$1" != "--" ]; do prefix+=("$1"); shift; done
    shift
    "${prefix[@]}" "$bin/lomadyn.rta" "$@" >/dev/null 2>"$node/driver.err" &
    driver_pid=$!
    "$bin/rtnode" wait "PRCS_LOMADYN/ZU?END_INIT" 120000 >/dev/null ||
        { echo "the driver did not end its initialisation" >&2; exit 1; }
}
stop_driver() {
    "$bin/rtnode" stop PRCS_LOMADYN >/dev/null 2>&1
    wait "$driver_pid" 2>/dev/null
    driver_pid=""
}
driver_log() { cat "$node/driver.err" "$node"/log/lomadyn.rta.* 2>/dev/null; }

# Bring-up: driver start to "ZU?END_INIT" (it brings the segment up before),
# median of three, and the frames the bring-up took.
for count in 10 100 1000; do
    "$bin/eni_gen" "$count" plain >"$work/net$count.xml"
    start_emulator "$work/net$count.xml"
    times=()
    for _ in 1 2 3; do
        new_node
        t0=$(now_ns)
        start_driver -- -eni="$work/net$count.xml" -nic=ecm0
        times+=($(( ($(now_ns) - t0) / 1000000 )))
        frames=$(driver_log | sed -n 's/.*bring-up done: \([0-9]*\) frames.*/\1/p' | tail -1)
        stop_driver
    done
    stop_emulator
    ms=$(printf '%s\n' "${times[@]}" | median)
    row "veth bring-up, $count slaves, to END_INIT" "${frames:-?} frames, median $ms ms" "" ""
done

# The whole tool run, 100 slaves, driver already running: over the veth
# pair against in process, median of five each.
tool_runs() {
    local t
    for _ in 1 2 3 4 5; do
        t=$(now_ns)
        "$bin/parvane" >/dev/null 2>&1 || echo "the tool failed" >&2
        echo $(( ($(now_ns) - t) / 1000000 ))
    done | median
}
eni=$work/net100.xml
new_node
start_driver -- -eni="$eni"
in_process=$(tool_runs)
stop_driver
start_emulator "$eni"
new_node
start_driver -- -eni="$eni" -nic=ecm0
on_wire=$(tool_runs)
stop_driver
stop_emulator
ratio=$(awk -v a="$on_wire" -v b="$in_process" 'BEGIN {printf "%.3f", a / b}')
met=$(awk -v r="$ratio" 'BEGIN {print (r <= 1.10) ? "met" : "MISS"}')
row "whole run, 100 slaves, veth / in process" "$ratio ($on_wire ms / $in_process ms)" "<= 1.10" "$met"

# The cyclic exchange: the example network held in Operational for 10 s,
# the master's frames taken on ecm0. The period is the gap between two sent
# frames that start with a logical read/write; a sent frame with no reply
# of its index in the capture is lost.
cyclic() {  # LABEL PREFIX...
    local label=$1
    shift
    local eni=$src/examples/five-slaves.eni.xml
    start_emulator "$eni"
    new_node
    start_driver "$@" -- -eni="$eni" -nic=ecm0
    "$bin/master_probe" open request 8 wait-state 8 20000 wait-file "$work/release" \
        >"$work/probe.out" 2>&1 &
    local probe=$!
    for _ in $(seq 1 2000); do
        grep -q 'wait-state 0 8' "$work/probe.out" && break
        sleep 0.01
    done
    tcpdump -i ecm0 -Q out -Z root --immediate-mode -U -n -w "$work/out.pcap" ether proto 0x88a4 \
        2>/dev/null &
    local out=$!
    tcpdump -i ecm0 -Q in -Z root --immediate-mode -U -n -w "$work/in.pcap" ether proto 0x88a4 \
        2>/dev/null &
    local in=$!
    sleep 10
    kill -INT "$out" "$in"
    wait "$out" "$in" 2>/dev/null
    touch "$work/release"
    wait "$probe"
    rm -f "$work/release"
    local fifo="SCHED_FIFO"
    driver_log | grep -q 'without real-time priority' && fifo="no SCHED_FIFO"
    stop_driver
    stop_emulator
    tshark -n -r "$work/in.pcap" -T fields -e ecat.idx -E occurrence=f >"$work/in.idx" 2>/dev/null
    # LRD 0x0a, LWR 0x0b, LRW 0x0c first: the cyclic frames.
    tshark -n -r "$work/out.pcap" -T fields -e frame.time_epoch -e ecat.cmd -e ecat.idx \
        -E occurrence=f 2>/dev/null | awk -F'\t' '$2 == "0x0a" || $2 == "0x0b" || $2 == "0x0c"' \
        >"$work/cyclic.txt"
    # Period deviation from 1000 us: p50, p99, max.
    local stats
    stats=$(awk -F'\t' 'NR > 1 {d = ($1 - last) * 1e6 - 1000; if (d < 0) d = -d; print d} {last = $1}' \
        "$work/cyclic.txt" | sort -n |
        awk '{v[NR] = $1} END {printf "%.0f %.0f %.0f %d", v[int(NR * 0.5) + 1], v[int(NR * 0.99) + 1], v[NR], NR}')
    read -r p50 p99 max n <<<"$stats"
    # Lost: cyclic frames whose index never came back (the last one may be in flight).
    local lost
    lost=$(awk -F'\t' 'NR == FNR {back[$1]++; next} {if (back[$3] > 0) back[$3]--; else lost++}
                       END {print lost + 0}' "$work/in.idx" <(head -n -1 "$work/cyclic.txt"))
    local met=MISS
    [ "$n" -gt 0 ] && [ "$p99" -le 100 ] && met=met
    row "veth cyclic 1 ms, 10 s, $label" "dev p50 $p50 / p99 $p99 / max $max us" \
        "p99 <= 100 us" "$met"
    row "  frames lost ($fifo, $n periods)" "$lost" "0" \
        "$([ "$n" -gt 0 ] && [ "$lost" -eq 0 ] && echo met || echo MISS)"
}
cyclic "SCHED_FIFO"
cyclic "without SCHED_FIFO" setpriv --bounding-set=-sys_nice --inh-caps=-sys_nice

# Distributed clocks over the pair: a generated line of 10 DC slaves (clocks
# drifting by up to +-100 ppm) set up by the master in process on ecm0, then
# the reference's time sent round every millisecond for a second; and a real
# drive line walked to OP, its cyclic frame's phase to SYNC0 once locked.
"$bin/eni_gen" 10 dc >"$work/dc10.xml"
start_emulator "$work/dc10.xml"
"$bin/dc_bench" line 10 ecm0
# The same distributions sent 50 to a frame.
DC_BENCH_PER_FRAME=50 "$bin/dc_bench" line 10 ecm0
stop_emulator
# The emulated reference stamps the frame when its process gets to it: it
# runs under SCHED_FIFO too, as real slaves stamp it in hardware.
start_emulator "$src/../shared/eni-corpus/bigcjv_6axis_servo.xml" chrt -f 40
"$bin/dc_bench" phase "$src/../shared/eni-corpus/bigcjv_6axis_servo.xml" ecm0
stop_emulator
