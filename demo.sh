#!/usr/bin/env bash
# Installs what the build needs, builds into build/ and checks the example
# network: the first run starts a simulated master driver by hand with the
# example network description; the tool then restarts it with the ENI it was
# given, keeping the driver's other options.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
scripts/build.sh build

export RT_NODE_DIR=${RT_NODE_DIR:-$PWD/build/demo-node}
export ECAT_MASTER_INI_FILE=$PWD/build/bin/config/master.ini
eni=examples/five-slaves.eni.xml

if ! build/bin/rtnode wait PRCS_LOMADYN 0 >/dev/null 2>&1; then
    echo "Starting the simulated master driver (stop it with: RT_NODE_DIR=$RT_NODE_DIR build/bin/rtnode stop PRCS_LOMADYN)"
    setsid build/bin/lomadyn.rta -eni=$eni -sim=examples/five-slaves.matching.sim.json \
        </dev/null >>"$RT_NODE_DIR.driver.log" 2>&1 &
    build/bin/rtnode wait 'PRCS_LOMADYN/ZU?END_INIT' 30000
fi
build/bin/parvane -eni=$eni
