#!/usr/bin/env bash
# Runs the suite against the bundled local test CRM and the bundled demo Outlook data, so that the
# whole road (check the login, start an importer, select folders, import) can be walked without
# Outlook and without a CRM.
#
#   tools/run-demo.sh [--demo-settings] [--fresh] [--smoke]
#
# What it does:
#   1. Installs the Debian packages (tools/install-deps.sh) and configures and builds the programs
#      into build/ (an existing build folder is reused). KELVOR_DEMO_NO_BUILD=1 skips this step.
#   2. Starts the local test CRM on 127.0.0.1 (port KELVOR_DEMO_PORT, default 8765; 0 picks a free
#      one) with its state in build/demo-crm; the tenant "demo" has the user "demo", password "demo".
#      It prints the address of the CRM's page that lists everything the CRM has stored.
#   3. Stored connection settings (the ones the wizard edits, in
#      ${XDG_CONFIG_HOME:-~/.config}/Kelvor GmbH/Outlook Importer.conf):
#        - none stored yet: the demo CRM's address with the user demo/demo is written;
#        - settings already stored: they are left alone and the wizard shows them (type the demo
#          values into the wizard, or run again with --demo-settings);
#        - --demo-settings: the demo values are written anyway; the previous file is copied to
#          "Outlook Importer.conf.before-demo" first.
#   4. Starts Wizard from build/bin (the programs write their logs into their own folder) with
#      KELVOR_STORE=tools/demo/demo-store.json: the importers it starts read that demo profile
#      (German contacts, tasks, appointments and e-mails) instead of Outlook files. Set KELVOR_PST
#      (paths separated by ':') to import from real .pst/.ost files instead; a KELVOR_STORE of
#      your own is kept.
#   5. Uses $DISPLAY when it is set, otherwise starts a virtual X server (Xvfb) and says so.
#   6. Closing the wizard or Ctrl-C stops the test CRM and the virtual X server and ends every
#      program of the run that is still open: nothing is left running.
#
# Options:
#   --demo-settings  write the demo CRM's settings even when settings are stored already
#   --fresh          start with an empty demo CRM (forgets what earlier runs imported)
#   --smoke          for tests: waits for the wizard's window, presses "Prüfen", waits for the
#                    CRM's answer; when Kelvor_email is built, also presses "E-Mails", selects every
#                    folder of the e-mail importer's tree, imports and waits for the completion
#                    dialog and for the demo mails at the test CRM;
#                    CRM's answer, then closes everything; exit status 0 when the login worked
# Environment: KELVOR_BUILD_DIR (default build/), KELVOR_DEMO_PORT, KELVOR_DEMO_NO_BUILD,
#              KELVOR_DEMO_STATE (the test CRM's state folder, default build/demo-crm),
#              KELVOR_DEMO_TIMEOUT (seconds, --smoke only, default 60), KELVOR_STORE, KELVOR_PST.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KELVOR_BUILD_DIR:-$repo/build}
port=${KELVOR_DEMO_PORT:-8765}
tenant=demo
demo_login=demo
demo_password=demo
window_title="Kelvor CRM Outlook Importer - Wizard"

demo_settings=0
fresh=0
smoke=0
for arg in "$@"; do
    case "$arg" in
    --demo-settings) demo_settings=1 ;;
    --fresh) fresh=1 ;;
    --smoke) smoke=1 ;;
    -h | --help)
        sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | grep '^#' | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "run-demo: unknown option '$arg' (see --help)" >&2
        exit 2
        ;;
    esac
done

say() { echo "run-demo: $*"; }
die() {
    echo "run-demo: $*" >&2
    exit 1
}

# --- 1. packages and build -------------------------------------------------------------------
if [ "${KELVOR_DEMO_NO_BUILD:-0}" != 1 ]; then
    "$repo/tools/install-deps.sh"
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    # Only the programs (the tests are not needed for the demo); those not in the tree yet are skipped.
    known=$(cmake --build "$build" --target help 2>/dev/null || true)
    targets=()
    for program in Wizard Kelvor_kontakte Kelvor_aufgaben Kelvor_termine Kelvor_email; do
        if grep -qx "\.\.\. $program" <<<"$known"; then
            targets+=(--target "$program")
        fi
    done
    [ ${#targets[@]} -gt 0 ] || die "no program targets in $build"
    cmake --build "$build" -j "$(nproc)" "${targets[@]}"
fi
bin=$build/bin
[ -x "$bin/Wizard" ] || die "$bin/Wizard not found: build first (or drop KELVOR_DEMO_NO_BUILD)"
for program in Kelvor_kontakte Kelvor_aufgaben Kelvor_termine Kelvor_email; do
    [ -x "$bin/$program" ] || say "note: $program is not built; its button in the wizard does nothing"
done

# --- clean-up: whatever this run started ends with it -----------------------------------------
crm_state=${KELVOR_DEMO_STATE:-$build/demo-crm}
xvfb_pid=
wizard_pid=
tmp=$(mktemp -d)

# The wizard leads a process group of its own; the importers it starts join that group, so the
# group ends everything the user opened during the run.
end_wizard_group() {
    local i
    [ -n "$wizard_pid" ] || return 0
    kill -TERM -- "-$wizard_pid" 2>/dev/null || return 0
    wait "$wizard_pid" 2>/dev/null || true
    for i in $(seq 1 30); do
        kill -0 -- "-$wizard_pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -KILL -- "-$wizard_pid" 2>/dev/null || true
}

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    end_wizard_group
    "$repo/tools/testcrm/testcrm" stop "$crm_state" 2>/dev/null || true
    if [ -n "$xvfb_pid" ]; then
        kill -TERM "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$tmp"
    say "stopped the test CRM${xvfb_pid:+ and the virtual X server}"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# --- 2. the test CRM --------------------------------------------------------------------------
if [ "$port" = 0 ]; then
    "$repo/tools/testcrm/testcrm" start "$crm_state" >/dev/null
else
    "$repo/tools/testcrm/testcrm" start "$crm_state" "$port" >/dev/null ||
        die "the test CRM could not listen on port $port (in use?): try KELVOR_DEMO_PORT=0 or another port"
fi
base_url=$("$repo/tools/testcrm/testcrm" url "$crm_state" "$tenant")
if [ "$fresh" = 1 ]; then
    "$repo/tools/testcrm/testcrm" reset "$crm_state" "$tenant" >/dev/null
fi
# Make sure the tenant and its demo user exist (adding a known user again does no harm).
"$repo/tools/testcrm/testcrm" adduser "$crm_state" "$tenant" "$demo_login" "$demo_password" >/dev/null

# --- 3. stored settings -----------------------------------------------------------------------
config_dir="${XDG_CONFIG_HOME:-$HOME/.config}/Kelvor GmbH"
config_file="$config_dir/Outlook Importer.conf"
has_settings() {
    [ -f "$config_file" ] && grep -Eq '^(CRM_URL|CRM_LGN|CRM_KNW)=' "$config_file"
}
write_demo_settings() {
    mkdir -p "$config_dir"
    # The format of Qt's settings file on Linux; plain ASCII values need no quoting.
    printf '[General]\nCRM_KNW=%s\nCRM_LGN=%s\nCRM_URL=%s\n' "$demo_password" "$demo_login" "$base_url" \
        >"$config_file.demo-tmp"
    mv "$config_file.demo-tmp" "$config_file"
}
if ! has_settings; then
    write_demo_settings
    say "stored settings: none yet, wrote the demo CRM's ($base_url, user $demo_login)"
elif [ "$demo_settings" = 1 ]; then
    cp "$config_file" "$config_file.before-demo"
    write_demo_settings
    say "stored settings: replaced by the demo CRM's; the previous ones are in '$config_file.before-demo'"
elif grep -qxF "CRM_URL=$base_url" "$config_file"; then
    say "stored settings: already point at the demo CRM"
else
    say "stored settings: yours are kept (the wizard shows them). To use the demo CRM, type"
    say "    $base_url   login $demo_login   password $demo_password"
    say "  into the wizard, or run again with --demo-settings."
fi

# Qt wants a private runtime folder; give it one when the session has none.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    mkdir -m 700 "$tmp/runtime"
    export XDG_RUNTIME_DIR=$tmp/runtime
fi

# --- 4./5. display and data -------------------------------------------------------------------
if [ -z "${DISPLAY:-}" ]; then
    command -v Xvfb >/dev/null || die "no DISPLAY and no Xvfb: install xvfb (tools/install-deps.sh)"
    Xvfb -displayfd 9 -screen 0 1280x1024x24 -nolisten tcp 9>"$tmp/display" >/dev/null 2>&1 &
    xvfb_pid=$!
    for i in $(seq 1 100); do
        [ -s "$tmp/display" ] && break
        kill -0 "$xvfb_pid" 2>/dev/null || die "Xvfb did not start"
        sleep 0.1
    done
    [ -s "$tmp/display" ] || die "Xvfb did not report its display"
    export DISPLAY=":$(tr -d '\n' <"$tmp/display")"
    say "no DISPLAY set: running under the virtual X server Xvfb on $DISPLAY (nothing shows on screen;"
    say "  look with: DISPLAY=$DISPLAY import -window root shot.png)"
fi

if [ -n "${KELVOR_STORE:-}" ]; then
    say "Outlook data: your KELVOR_STORE fixture $KELVOR_STORE"
elif [ -n "${KELVOR_PST:-}" ]; then
    say "Outlook data: KELVOR_PST=$KELVOR_PST"
else
    export KELVOR_STORE=$repo/tools/demo/demo-store.json
    say "Outlook data: the demo profile $KELVOR_STORE"
fi

say "test CRM: $base_url (user $demo_login, password $demo_password)"
say "what the test CRM stored: ${base_url}   (open it in a browser)"

# --- run --------------------------------------------------------------------------------------
cd "$bin"
if [ "$smoke" = 0 ]; then
    say "starting the wizard; close it (or press Ctrl-C) to end the demo"
    setsid ./Wizard &
    wizard_pid=$!
    status=0
    wait "$wizard_pid" || status=$?
    exit "$status"
fi

# --smoke: drive the wizard like a user would, with xdotool.
command -v xdotool >/dev/null || die "--smoke needs xdotool (tools/install-deps.sh installs it)"
timeout=${KELVOR_DEMO_TIMEOUT:-60}
setsid ./Wizard >"$tmp/wizard.out" 2>&1 &
wizard_pid=$!
window=
for i in $(seq 1 $((timeout * 10))); do
    window=$(xdotool search --name "^${window_title}\$" 2>/dev/null | head -n 1) || true
    [ -n "$window" ] && break
    kill -0 "$wizard_pid" 2>/dev/null || break
    sleep 0.1
done
[ -n "$window" ] || {
    cat "$tmp/wizard.out" >&2
    die "smoke: the wizard's window did not appear"
}
say "smoke: the wizard's window is there ($window)"
# "Prüfen" sits at 220,460 (131 x 23) in the window.
xdotool mousemove --window "$window" 285 471 click 1
answered=0
for i in $(seq 1 $((timeout * 10))); do
    if grep -Eq 'SESSION ID: +"?[0-9A-Za-z]{32}"?$' "$tmp/wizard.out"; then
        answered=1
        break
    fi
    grep -q 'SESSION ID: ' "$tmp/wizard.out" && break
    sleep 0.1
done
cat "$tmp/wizard.out"
[ "$answered" = 1 ] || die "smoke: the test CRM did not log the demo user on"
say "smoke: the test CRM logged the demo user on"

# The e-mail importer from the wizard's button: every folder selected, one import.
[ -x "$bin/Kelvor_email" ] || exit 0
email_title="Kelvor CRM Outlook Importer - E-Mails"
# "E-Mails" sits at 160,160 (191 x 51) in the wizard.
xdotool mousemove --window "$window" 255 185 click 1
email=
for i in $(seq 1 $((timeout * 10))); do
    email=$(xdotool search --name "^${email_title}\$" 2>/dev/null | head -n 1) || true
    [ -n "$email" ] && break
    sleep 0.1
done
[ -n "$email" ] || die "smoke: the e-mail importer's window did not appear"
say "smoke: the e-mail importer's window is there ($email)"
# The first row of the tree (at 15,155 in the window) takes the focus; Ctrl+A selects every row;
# "Importieren" sits at 15,517 (131 x 31). A busy machine may map the window before it takes
# input, so the steps are repeated until the completion dialog appears.
done_dialog=
for attempt in 1 2 3 4 5; do
    xdotool mousemove --window "$email" 120 165 click 1
    sleep 0.5
    xdotool key --window "$email" ctrl+a
    sleep 0.5
    xdotool mousemove --window "$email" 80 532 click 1
    for i in $(seq 1 $((timeout * 2))); do
        done_dialog=$(xdotool search --name "^Import abgeschlossen\$" 2>/dev/null | head -n 1) || true
        [ -n "$done_dialog" ] && break 2
        sleep 0.1
    done
done
[ -n "$done_dialog" ] || die "smoke: the e-mail import did not finish"
mails=$("$repo/tools/testcrm/testcrm" dump "$crm_state" "$tenant" |
    php -r '$d = json_decode(stream_get_contents(STDIN), true); echo count($d["mails"] ?? []);')
say "smoke: the test CRM holds $mails e-mails"
[ "${mails:-0}" -gt 0 ] || die "smoke: no e-mail arrived at the test CRM"
exit 0
