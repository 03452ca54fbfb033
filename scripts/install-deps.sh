#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
set -euo pipefail

packages=(cmake ninja-build g++ dpkg-dev clang-format libgtest-dev libgmock-dev libpugixml-dev nlohmann-json3-dev libpcap-dev
          iproute2 tcpdump tshark scdoc python3
          # the independent peers the interop tests build (scripts/build-peers.sh)
          gcc libtinyxml2-dev)
if [ "${PARVANE_FUZZ:-0}" = 1 ]; then
    packages+=(clang-16 libclang-rt-16-dev)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
