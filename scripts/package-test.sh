#!/usr/bin/env bash
# Builds the .deb from an existing build folder, checks it with lintian (no
# errors allowed; warnings are listed) and proves that the installed tool
# checks the installed example network: first unpacked into a scratch root,
# then (with --dpkg, as root) installed for real with apt-get, its man page
# read, and removed while a driver it started still runs: the package's prerm
# must stop that driver.
# Usage: scripts/package-test.sh [BUILD_DIR] [--dpkg]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
mode=${2:-}

# What this test needs beyond the build: lintian, and man for the man page.
needed=(lintian)
[ "$mode" = --dpkg ] && needed+=(man-db)
missing=()
for p in "${needed[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

rm -rf "$build/package"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/package/parvane_*.deb)
echo "package: $deb"

lintian_out=$(lintian --allow-root "$deb" 2>&1) || true
if grep -q '^E: ' <<<"$lintian_out"; then
    echo "$lintian_out"
    echo "FAILED: lintian reports errors"
    exit 1
fi
if grep -q '^W: ' <<<"$lintian_out"; then
    echo "lintian warnings:"
    grep '^W: ' <<<"$lintian_out"
fi
echo "ok: lintian reports no errors"

scratch=$(mktemp -d /tmp/parvane-pkg-XXXXXX)
cleanup() {
    for node in "$scratch"/node-*; do
        [ -d "$node" ] || continue
        RT_NODE_DIR=$node "$rtnode" stop PRCS_LOMADYN >/dev/null 2>&1 || true
    done
    rm -rf "$scratch"
}
rtnode=/bin/false
trap cleanup EXIT

# The pids of running drivers started from the given program file.
drivers_of() {
    local program=$1 exe found=""
    for exe in /proc/[0-9]*/exe; do
        [ "$(readlink "$exe" 2>/dev/null)" = "$program" ] && found="$found ${exe//[^0-9]/}"
    done
    echo "$found"
}

# Runs the installed tool on the installed example, once with the INI
# variable and once without it (the driver then comes from the tool's folder).
# With keep, the driver of the last run is left running.
check_installed() {
    local root=$1 label=$2 keep=${3:-}
    rtnode=$root/usr/bin/parvane-rtnode
    [ -x "$rtnode" ] || { echo "FAILED: no parvane-rtnode in $root/usr/bin"; exit 1; }
    [ ! -e "$root/usr/bin/rtnode" ] || { echo "FAILED: a generic rtnode in $root/usr/bin"; exit 1; }
    local eni=$root/usr/share/parvane/examples/five-slaves.eni.xml
    for variant in with-ini without-ini; do
        local node=$scratch/node-$label-$variant
        local env=(RT_NODE_DIR=$node)
        [ $variant = with-ini ] && env+=(ECAT_MASTER_INI_FILE=$root/usr/lib/parvane/config/master.ini)
        local out status=0
        out=$(env "${env[@]}" timeout 120 "$root/usr/bin/parvane" -eni="$eni") || status=$?
        if [ $status -ne 0 ] || ! grep -q '^\* SUCCESS. All steps have been completed.$' <<<"$out"; then
            echo "$out"
            echo "FAILED: installed tool ($label, $variant) exited $status"
            exit 1
        fi
        if [ "$keep" != keep ] || [ $variant = with-ini ]; then
            env "${env[@]}" "$rtnode" stop PRCS_LOMADYN >/dev/null
        fi
        echo "ok: installed tool ($label, $variant) checked the example network, exit 0"
    done
    # The scan on emulated slaves of the installed example: the same network.
    local scan_status=0
    out=$(timeout 60 "$root/usr/bin/parvane-scan" -emulate="$eni" -compare="$eni") || scan_status=$?
    if [ $scan_status -ne 0 ] || ! grep -q '^same: ' <<<"$out"; then
        echo "$out"
        echo "FAILED: installed parvane-scan ($label) exited $scan_status"
        exit 1
    fi
    [ -f "$root/usr/share/bash-completion/completions/parvane-scan" ] ||
        { echo "FAILED: no bash completion for parvane-scan"; exit 1; }
    echo "ok: installed parvane-scan ($label) compared the example network, exit 0"
}

dpkg-deb -x "$deb" "$scratch/root"
check_installed "$scratch/root" scratch

if [ "$mode" = --dpkg ]; then
    [ "$(id -u)" -eq 0 ] || { echo "--dpkg needs root"; exit 1; }
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$(realpath "$deb")" >/dev/null
    man -P cat parvane | grep -q 'check an EtherCAT network against its ENI file' ||
        { echo "FAILED: man parvane"; exit 1; }
    echo "ok: man parvane"
    man -P cat parvane-scan | grep -q 'write the ENI of a live EtherCAT network' ||
        { echo "FAILED: man parvane-scan"; exit 1; }
    echo "ok: man parvane-scan"
    check_installed "" dpkg keep
    [ -n "$(drivers_of /usr/lib/parvane/lomadyn.rta)" ] ||
        { echo "FAILED: no installed driver left running before the removal"; exit 1; }
    dpkg -r parvane >/dev/null
    [ ! -e /usr/bin/parvane ] || { echo "FAILED: /usr/bin/parvane still there after removal"; exit 1; }
    left=$(drivers_of /usr/lib/parvane/lomadyn.rta)
    left+=$(drivers_of "/usr/lib/parvane/lomadyn.rta (deleted)")
    if [ -n "$left" ]; then
        kill -KILL $left 2>/dev/null || true
        echo "FAILED: a driver still runs after the removal:$left"
        exit 1
    fi
    echo "ok: dpkg install, removal stopped the running driver"
fi
echo "package test passed"
