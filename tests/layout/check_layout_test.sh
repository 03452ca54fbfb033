#!/usr/bin/env bash
# The layout check against small trees of its own: each case writes one file
# and says whether the check must pass or which line it must report.
# Usage: check_layout_test.sh <path of scripts/check-layout.sh>
set -uo pipefail
check=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
# case name | file | its include line | expected: "pass" or a text of the report
run_case() {
    local name=$1 file=$2 include=$3 expected=$4
    local tree="$work/$name"
    mkdir -p "$tree/$(dirname "$file")"
    git -C "$tree" init -q
    printf '%s\n' "$include" >"$tree/$file"
    local out rc
    out=$("$check" "$tree" 2>&1)
    rc=$?
    if [[ $expected == pass ]]; then
        if ((rc != 0)); then
            echo "FAIL $name: expected a pass, got: $out"
            failures=$((failures + 1))
        fi
    elif ((rc == 0)) || [[ $out != *"$expected"* ]]; then
        echo "FAIL $name: expected a report with '$expected', got (rc $rc): $out"
        failures=$((failures + 1))
    fi
}

run_case emulator_uses_ecat emulator/slave.cpp '#include "ecat/frame.h"' pass
run_case emulator_uses_eni emulator/slave.cpp '#include "eni/model.h"' pass
run_case emulator_uses_master emulator/slave.cpp '#include "master/master.h"' \
    'emulator/slave.cpp:1: emulator/ may not include "master/master.h"'
run_case emulator_uses_driver emulator/slave.cpp '#include "driver/log.h"' 'may not include'
run_case emulator_uses_common emulator/slave.cpp '#include "common/unique_fd.h"' 'may not include'
run_case emulator_uses_system emulator/slave.cpp '#include <sys/socket.h>' 'standard library'
run_case emulator_uses_std emulator/slave.cpp '#include <vector>' pass
run_case master_uses_emulator master/master.cpp '#include "emulator/segment.h"' \
    'master/ may not include'
run_case master_uses_ecat master/master.cpp '#include "ecat/frame.h"' pass
run_case driver_uses_client driver/main.cpp '#include "client/master_api.h"' 'may not include'
run_case driver_runs_on_emulator driver/main.cpp '#include "emulator/segment.h"' pass
run_case driver_uses_master driver/main.cpp '#include "master/master.h"' pass
run_case emulator_program_system emulator/program/main.cpp '#include <sys/socket.h>' pass
run_case emulator_program_master emulator/program/main.cpp '#include "master/link.h"' \
    'may not include'
run_case emulator_uses_json emulator/description.cpp '#include <nlohmann/json.hpp>' pass
run_case ecat_uses_eni ecat/frame.h '#include "eni/model.h"' 'ecat/ may not include'
run_case ecat_uses_pugixml ecat/frame.h '#include <pugixml.hpp>' 'standard library'
run_case eni_uses_common eni/reader.cpp '#include "common/unique_fd.h"' 'may not include'
run_case ipc_uses_client ipc/protocol.h '#include "client/master_api.h"' 'may not include'
run_case launcher_uses_app launcher/report.cpp '#include "app/last_status.h"' 'may not include'
run_case check_uses_driver check/counts.cpp '#include "driver/network.h"' 'may not include'
run_case own_folder client/master.cpp '#include "client/connection.h"' pass
run_case beside_the_file driver/main.cpp '#include "log.h"' pass
run_case tests_are_free tests/x_test.cpp '#include "master/master.h"' pass

# The same rule for the CMake links, wrapped calls included.
run_case emulator_links_master emulator/CMakeLists.txt \
    $'target_link_libraries(emulator PUBLIC ecat eni\n    master)' \
    'emulator/ may not link master'
run_case emulator_links_wire emulator/CMakeLists.txt \
    'target_link_libraries(emulator PUBLIC ecat eni PRIVATE nlohmann_json::nlohmann_json)' pass
run_case master_links_emulator master/CMakeLists.txt \
    'target_link_libraries(master PUBLIC ecat emulator)' 'may not link emulator'
run_case eni_links_ipc eni/CMakeLists.txt 'target_link_libraries(eni PUBLIC ecat ipc)' \
    'eni/ may not link ipc'
run_case driver_links_client driver/CMakeLists.txt \
    'target_link_libraries(lomadyn_core PUBLIC eni client)' 'may not link client'

if ((failures > 0)); then
    echo "$failures case(s) failed"
    exit 1
fi
echo "all cases passed"
