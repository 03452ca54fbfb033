#!/usr/bin/env bash
# Runs a command inside a private network namespace that holds a veth pair of
# its own (ecm0 for the master, ecs0 for the emulated slaves), with IPv6 off
# so nothing but the test's frames travels on it. The namespace, both ends and
# every process still in it are removed when the command ends, however it ends.
#
# Without root (or without the ip command) the test reports itself skipped
# (exit 77) with the reason, unless PARVANE_WIRE_REQUIRED=1 (CI), where that
# is a failure.
#   usage: in_netns.sh SECONDS COMMAND [ARGS...]
set -u
limit=$1
shift

# Listing the tests needs no wire.
for arg in "$@"; do
    [ "$arg" = "--gtest_list_tests" ] && exec "$@"
done

reason=""
if [ "$(id -u)" -ne 0 ]; then
    reason="wire tests need root to create a network namespace"
elif ! command -v ip >/dev/null 2>&1; then
    reason="wire tests need the ip command (iproute2)"
fi
if [ -n "$reason" ]; then
    if [ "${PARVANE_WIRE_REQUIRED:-0}" = 1 ]; then
        echo "FAILED: $reason, and they are required here" >&2
        exit 1
    fi
    echo "SKIPPED: $reason"
    exit 77
fi

ns="pvwire-$$-$RANDOM"
cleanup() {
    local pids
    pids=$(ip netns pids "$ns" 2>/dev/null)
    [ -n "$pids" ] && kill -9 $pids 2>/dev/null
    ip netns del "$ns" 2>/dev/null
}
trap cleanup EXIT

ip netns add "$ns" || exit 1
ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 \
    >/dev/null || exit 1
ip -n "$ns" link add ecm0 type veth peer name ecs0 || exit 1
for dev in lo ecm0 ecs0; do
    ip -n "$ns" link set "$dev" up || exit 1
done

# Bounded here, below ctest's own limit, so the clean-up above always runs.
# Waited on in the background: a signal to this script is handled at once
# (bash defers traps while a foreground child runs).
WIRE_NETNS="$ns" WIRE_MASTER_IF=ecm0 WIRE_SLAVE_IF=ecs0 \
    timeout --kill-after=5 "$limit" ip netns exec "$ns" "$@" &
child=$!
trap 'kill -TERM "$child" 2>/dev/null; exit 143' INT TERM
wait "$child"
