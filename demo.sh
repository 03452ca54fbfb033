#!/usr/bin/env bash
# Installs what the build needs, builds the three programs the demo runs (the
# tool, the master driver and the node utility; not the test suite)
# into build/, starts the driver by hand on the example network's emulated
# slaves in the chosen scenario and checks it with the tool. The tool restarts the
# driver with the ENI it was given and keeps the driver's other options (the
# scenario's network description among them).
#
# Usage: ./demo.sh [SCENARIO]     (default: matching)
#        ./demo.sh --list         the scenarios
set -euo pipefail
cd "$(dirname "$0")"

scenarios=(matching revision-mismatch stops-at-safeop extra-slave)
describe() {
    case $1 in
        matching) echo "every slave answers as the ENI says: all steps pass, exit status 0" ;;
        revision-mismatch) echo "slave 2 has another revision number: a RevisionNo warning in step 3, exit status 0" ;;
        stops-at-safeop) echo "slave 3 stops at Safe-Operational: step 4 times out after 30 s, exit status 15" ;;
        extra-slave) echo "a sixth slave the ENI does not list: a count warning in step 2, the master does not start the network, step 4 fails at once with 010DH, exit status 255" ;;
    esac
}

scenario=${1:-matching}
case $scenario in
    --list)
        for s in "${scenarios[@]}"; do printf '%-18s %s\n' "$s" "$(describe "$s")"; done
        exit 0 ;;
    -h|--help)
        sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'
        exit 0 ;;
esac
if [ -z "$(describe "$scenario")" ]; then
    echo "demo.sh: unknown scenario '$scenario'; ./demo.sh --list shows them" >&2
    exit 2
fi

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build build --target parvane lomadyn rtnode master_ini

export RT_NODE_DIR=${RT_NODE_DIR:-$PWD/build/demo-node}
export ECAT_MASTER_INI_FILE=$PWD/build/bin/config/master.ini
eni=examples/five-slaves.eni.xml
stop_hint="RT_NODE_DIR=$RT_NODE_DIR build/bin/rtnode stop PRCS_LOMADYN"

# A driver left by an earlier demo runs another scenario's network: replaced.
if build/bin/rtnode wait PRCS_LOMADYN 0 >/dev/null 2>&1; then
    build/bin/rtnode stop PRCS_LOMADYN >/dev/null
fi
echo "Scenario $scenario: $(describe "$scenario")"
echo "Starting the master driver on emulated slaves (stop it with: $stop_hint)"
setsid build/bin/lomadyn.rta -eni=$eni -sim=examples/five-slaves.$scenario.sim.json \
    </dev/null >>"$RT_NODE_DIR.driver.log" 2>&1 &
build/bin/rtnode wait 'PRCS_LOMADYN/ZU?END_INIT' 30000
status=0
build/bin/parvane -eni=$eni || status=$?
echo "Exit status $status. The driver keeps running; stop it with: $stop_hint"
exit $status
