#!/usr/bin/env bash
# The main-job command end to end, as ctest runs it: tools/run-demo.sh --smoke must bring up the
# test CRM, a virtual display and the wizard, log the demo user on through the wizard's "Prüfen",
# and leave no process of its own behind when it ends.
set -uo pipefail
repo=${KELVOR_SOURCE_DIR:?}
export KELVOR_DEMO_TEST_MARK="demo-smoke-$$"
# A first start: no stored settings, so the command writes the demo CRM's.
rm -rf "${XDG_CONFIG_HOME:?}/Kelvor GmbH"

status=0
bash "$repo/tools/run-demo.sh" --smoke || status=$?
if [ "$status" != 0 ]; then
    echo "demo-smoke: run-demo.sh --smoke failed with status $status" >&2
fi

# Everything the command started inherited the mark: none of it may still run.
left=()
for i in $(seq 1 30); do
    mapfile -t marked < <(grep -lzx "KELVOR_DEMO_TEST_MARK=$KELVOR_DEMO_TEST_MARK" /proc/[0-9]*/environ 2>/dev/null |
        sed -e 's|^/proc/||' -e 's|/environ$||')
    # The search's own processes carry the mark too; they have ended by now.
    left=()
    for pid in "${marked[@]}"; do
        [ "$pid" != $$ ] && [ -e "/proc/$pid" ] && left+=("$pid")
    done
    [ ${#left[@]} -eq 0 ] && break
    sleep 0.1
done
if [ ${#left[@]} -ne 0 ]; then
    echo "demo-smoke: processes left behind:" >&2
    ps -o pid,args -p "$(IFS=,; echo "${left[*]}")" >&2 || true
    kill -KILL "${left[@]}" 2>/dev/null || true
    status=1
fi
grep -q 'CRM_URL=http://127.0.0.1:' "$XDG_CONFIG_HOME/Kelvor GmbH/Outlook Importer.conf" || {
    echo "demo-smoke: the demo settings were not written" >&2
    status=1
}
exit "$status"
