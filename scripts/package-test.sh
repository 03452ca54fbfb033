#!/usr/bin/env bash
# Builds the .deb from an existing build folder and proves that the installed
# tool checks the installed example network: first unpacked into a scratch
# root, then (with --dpkg, as root) installed for real with dpkg and removed.
# Usage: scripts/package-test.sh [BUILD_DIR] [--dpkg]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
mode=${2:-}

rm -rf "$build/package"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/package/parvane_*.deb)
echo "package: $deb"

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

# Runs the installed tool on the installed example, once with the INI
# variable and once without it (the driver then comes from the tool's folder).
check_installed() {
    local root=$1 label=$2
    rtnode=$root/usr/bin/rtnode
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
        env "${env[@]}" "$rtnode" stop PRCS_LOMADYN >/dev/null
        echo "ok: installed tool ($label, $variant) checked the example network, exit 0"
    done
}

dpkg-deb -x "$deb" "$scratch/root"
check_installed "$scratch/root" scratch

if [ "$mode" = --dpkg ]; then
    [ "$(id -u)" -eq 0 ] || { echo "--dpkg needs root"; exit 1; }
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$(realpath "$deb")" >/dev/null
    check_installed "" dpkg
    dpkg -r parvane >/dev/null
    [ ! -e /usr/bin/parvane ] || { echo "FAILED: /usr/bin/parvane still there after removal"; exit 1; }
    echo "ok: dpkg install and removal"
fi
echo "package test passed"
