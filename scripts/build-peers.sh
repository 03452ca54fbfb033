#!/usr/bin/env bash
# Builds the independent EtherCAT peers the interop tests run against (SOEM's
# samples and library, KickCAT's network simulator) from the pinned source
# archives in the shared folder beside the repository, into BUILD_DIR/peers.
# They are test oracles only: nothing of ours links them and the package does
# not carry them. Quiet when it succeeds, and does nothing when they are built.
# Without the archives it says so and ends with 0: the interop tests then
# report themselves skipped (or failed, where PARVANE_WIRE_REQUIRED=1).
#   usage: scripts/build-peers.sh [BUILD_DIR]   (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build}
peers=${PARVANE_PEERS_DIR:-$root/../shared/peers}
work=$root/$build/peers
[[ $build = /* ]] && work=$build/peers

soem=soem-b410bf6e
kickcat=kickcat-f10386d5
argparse=argparse-3.2
stamp=$work/.built-$soem-$kickcat-$argparse
[ -f "$stamp" ] && exit 0

for a in $soem $kickcat $argparse; do
    if [ ! -f "$peers/$a.tar.gz" ]; then
        echo "build-peers: no $peers/$a.tar.gz; the interop tests will find no peers" >&2
        exit 0
    fi
done

log=$work/build.log
rm -rf "$work"
mkdir -p "$work"
trap 'echo "build-peers: failed; see $log" >&2; tail -n 30 "$log" >&2' ERR
{
    for a in $soem $kickcat $argparse; do
        tar -xzf "$peers/$a.tar.gz" -C "$work"
    done
    # SOEM asks for CMake 3.28; 3.25 (Debian 12) builds it unchanged.
    sed -i 's/cmake_minimum_required(VERSION 3.28)/cmake_minimum_required(VERSION 3.25)/' \
        "$work/$soem/CMakeLists.txt"
    gen=()
    command -v ninja >/dev/null && gen=(-G Ninja)
    cmake "${gen[@]}" -S "$work/$soem" -B "$work/soem-build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$work/soem-build" -j2 --target soem slaveinfo simple_ng eepromtool
    cmake "${gen[@]}" -S "$work/$argparse" -B "$work/argparse-build" \
        -DCMAKE_INSTALL_PREFIX="$work/deps" -DARGPARSE_BUILD_TESTS=OFF
    cmake --install "$work/argparse-build"
    cmake "${gen[@]}" -S "$work/$kickcat" -B "$work/kickcat-build" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_PREFIX_PATH="$work/deps" -DBUILD_SIMULATION=ON -DENABLE_ESI_PARSER=ON \
        -DBUILD_TOOLS=OFF -DBUILD_MASTER_EXAMPLES=OFF -DBUILD_SLAVE_EXAMPLES=OFF \
        -DBUILD_UNIT_TESTS=OFF -DKICKCAT_INSTALL=OFF
    cmake --build "$work/kickcat-build" -j2 --target network_simulator
} >"$log" 2>&1
touch "$stamp"
