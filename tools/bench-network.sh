#!/usr/bin/env bash
# Network benchmark: the suite's contacts import against an HTTPS test CRM (nginx + php-fpm,
# keep-alive, self-signed certificate), directly (also over plain HTTP) and behind a loopback
# relay that adds a round trip of 20, 50 and 100 ms, next to bare libcurl loops posting the same
# requests in the same run.
#
#   tools/bench-network.sh [--build DIR] [--count N] [--local-count N] [--rtt "20 50 100"] [--inflight N]
#                          [--repeat N] [--mail FILE[:FILE...]|--generated=N] [--no-contacts]
#
# --count: contacts per measurement behind the relay (default 100); --local-count: against the
# direct endpoint (default 1000); --inflight: requests in flight for the parallel rows (default 4:
# CRM_INFLIGHT for the suite, that many kept-alive connections for the bare loop); --repeat: rounds
# per endpoint (default 3), the four measurements taking turns; each cell is the median round.
# --mail: also the e-mail import of every message of those .pst/.ost files, or of --generated=N (the
# scale generator's mailbox of N messages in 50 folders), (kelvor_mail_bench) against
# the local HTTPS endpoint and behind each relay, with CRM_INFLIGHT unset and with --inflight, each
# next to a bare libcurl loop replaying the same requests one after another on one reused handle;
# --no-contacts: only that.
# Prints a table (Markdown) at the end; the raw RESULT lines go to <build>/bench-network.log.
# Traffic stays on 127.0.0.1; every server and relay started here is stopped on exit.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build
count=100
local_count=1000
rtts="20 50 100"
inflight=4
repeat=3
mail=
contacts=1
while [ $# -gt 0 ]; do
    case "$1" in
    --build) build=$2; shift 2 ;;
    --count) count=$2; shift 2 ;;
    --local-count) local_count=$2; shift 2 ;;
    --rtt) rtts=$2; shift 2 ;;
    --inflight) inflight=$2; shift 2 ;;
    --repeat) repeat=$2; shift 2 ;;
    --mail) mail=$2; shift 2 ;;
    --no-contacts) contacts=0; shift ;;
    -h|--help) sed -n '2,20p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench-network: unknown option $1" >&2; exit 2 ;;
    esac
done

targets=(kelvor_network_bench kelvor_delayproxy)
[ -z "$mail" ] || targets+=(kelvor_mail_bench)
cmake --build "$build" --target "${targets[@]}" >/dev/null
bench=$build/bin/kelvor_network_bench
mail_bench=$build/bin/kelvor_mail_bench
proxy_bin=$build/bin/kelvor_delayproxy
log=$build/bench-network.log
: >"$log"

state=$(mktemp -d /tmp/kelvor-netbench.XXXXXX)
proxies=()
cleanup() {
    local p
    for p in "${proxies[@]}"; do
        kill "$p" 2>/dev/null || true
    done
    "$root/tools/testcrm/testcrm" stop "$state" >/dev/null 2>&1 || true
    rm -rf "$state"
}
trap cleanup EXIT

"$root/tools/testcrm/testcrm" start --https "$state" >/dev/null
https_port=$(cat "$state/https_port")

# Starts a relay to the HTTPS port with the given round trip; sets relay to its port. Runs in
# this shell (not in a command substitution), so that cleanup knows the relay's pid.
start_relay() {
    local rtt=$1 out=$state/relay-$1.out i
    "$proxy_bin" 0 "$https_port" "$rtt" 3600 >"$out" 2>&1 &
    proxies+=($!)
    for i in $(seq 1 100); do
        if grep -q '^listening ' "$out"; then
            relay=$(sed -n 's/^listening //p' "$out")
            return 0
        fi
        sleep 0.05
    done
    echo "bench-network: relay did not start" >&2
    return 1
}

# One measurement; appends its RESULT line to the log and prints "rate cpu_ms answered".
measure() {
    local label=$1
    shift
    local line
    line=$(QT_QPA_PLATFORM=offscreen "$bench" "$@" 2>>"$log" | grep '^RESULT' || true)
    echo "$label $line" >>"$log"
    if [ -z "$line" ]; then
        echo "- - -"
        return
    fi
    local rate cpu answered items
    rate=$(sed -n 's/.* rate=\([^ ]*\).*/\1/p' <<<"$line")
    cpu=$(sed -n 's/.* cpu_ms=\([^ ]*\).*/\1/p' <<<"$line")
    answered=$(sed -n 's/.* answered=\([^ ]*\).*/\1/p' <<<"$line")
    items=$(sed -n 's/.* items=\([^ ]*\).*/\1/p' <<<"$line")
    echo "$rate $cpu $answered/$items"
}

pct() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 > 0 && a != "-") printf "%.0f %%", 100 * a / b; else print "-" }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 > 0 && a != "-") printf "%.2f x", a / b; else print "-" }'; }

# The median of the numbers given ("-" when none).
median() {
    printf '%s\n' "$@" | grep -v '^-$' | sort -g | awk '{ v[NR] = $1 } END {
        if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

rows=()
bench_endpoint() {
    local name=$1 url=$2 n=$3 round kind rate cpu ok
    local -A rates=() cpus=() oks=()
    echo "bench-network: $name ($n contacts per measurement, $repeat rounds)" >&2
    for round in $(seq 1 "$repeat"); do
        for kind in suite bare suite-inflight bare-multi; do
            case $kind in
            suite) read -r rate cpu ok < <(measure "$name $kind" import "$url" "$n") ;;
            bare) read -r rate cpu ok < <(measure "$name $kind" bare "$url" "$n" 1) ;;
            suite-inflight) read -r rate cpu ok < <(measure "$name $kind" import "$url" "$n" "$inflight") ;;
            bare-multi) read -r rate cpu ok < <(measure "$name $kind" bare "$url" "$n" "$inflight") ;;
            esac
            rates[$kind]+="$rate "
            cpus[$kind]+="$cpu "
            [ "$ok" = "$n/$n" ] || oks[$kind]+="$ok "
        done
    done
    local -A med=() cpu_med=()
    for kind in suite bare suite-inflight bare-multi; do
        # shellcheck disable=SC2086
        med[$kind]=$(median ${rates[$kind]})
        # shellcheck disable=SC2086
        cpu_med[$kind]=$(median ${cpus[$kind]})
        [ -z "${oks[$kind]:-}" ] || med[$kind]+=" (incomplete: ${oks[$kind]% })"
    done
    rows+=("| $name | ${med[suite]} | ${med[bare]} | $(pct "${med[suite]}" "${med[bare]}") | ${med[suite-inflight]} | $(ratio "${med[suite-inflight]}" "${med[suite]}") | ${med[bare-multi]} | ${cpu_med[suite]} | ${cpu_med[suite-inflight]} | ${cpu_med[bare]} |")
}

# One e-mail measurement (rtt 0: direct); prints "rate bare_rate ratio cpu_ms complete".
measure_mail() {
    local label=$1 rtt=$2 n=$3 line
    local args=("$mail" 1 --https)
    [ "$n" = 1 ] || args+=(--inflight "$n")
    [ "$rtt" = 0 ] || args+=(--rtt "$rtt")
    line=$(KELVOR_TESTCRM_STATE=$state QT_QPA_PLATFORM=offscreen "$mail_bench" "${args[@]}" 2>>"$log" |
        grep '^RESULT' || true)
    echo "$label $line" >>"$log"
    if [ -z "$line" ]; then
        echo "- - - - no"
        return
    fi
    local messages stored
    messages=$(sed -n 's/.* messages=\([^ ]*\).*/\1/p' <<<"$line")
    stored=$(sed -n 's/.* bare_stored=\([^ ]*\).*/\1/p' <<<"$line")
    echo "$(sed -n 's/.* rate=\([^ ]*\).*/\1/p' <<<"$line") $(sed -n 's/.* bare_rate=\([^ ]*\).*/\1/p' <<<"$line")" \
        "$(sed -n 's/.* ratio=\([^ ]*\).*/\1/p' <<<"$line") $(sed -n 's/.* cpu_ms=\([^ ]*\).*/\1/p' <<<"$line")" \
        "$([ "$messages" = "$stored" ] && [ "$messages" != 0 ] && echo yes || echo no)"
}

mail_rows=()
bench_mail() {
    local name=$1 rtt=$2 round rate bare ratio cpu ok
    local r1="" r4="" bares="" q1="" q4="" c1="" c4="" incomplete=""
    echo "bench-network: e-mail, $name ($repeat rounds)" >&2
    for round in $(seq 1 "$repeat"); do
        read -r rate bare ratio cpu ok < <(measure_mail "mail $name N=1" "$rtt" 1)
        r1+="$rate "; bares+="$bare "; q1+="$ratio "; c1+="$cpu "
        [ "$ok" = yes ] || incomplete+="N=1 "
        read -r rate bare ratio cpu ok < <(measure_mail "mail $name N=$inflight" "$rtt" "$inflight")
        r4+="$rate "; bares+="$bare "; q4+="$ratio "; c4+="$cpu "
        [ "$ok" = yes ] || incomplete+="N=$inflight "
    done
    # shellcheck disable=SC2086
    mail_rows+=("| $name | $(median $r1) | $(median $r4) | $(median $bares) | $(median $q1 | awk '{ if ($1 != "-") printf "%.0f %%", 100 * $1; else print "-" }') | $(median $q4 | awk '{ if ($1 != "-") printf "%.2f x", $1; else print "-" }') | $(median $c1) | $(median $c4) |${incomplete:+ incomplete: $incomplete}")
}

if [ "$contacts" = 1 ]; then
    bench_endpoint "local HTTP" "http://127.0.0.1:$(cat "$state/port")/" "$local_count"
    bench_endpoint "local HTTPS" "https://127.0.0.1:$https_port/" "$local_count"
    for rtt in $rtts; do
        start_relay "$rtt"
        bench_endpoint "HTTPS, ${rtt} ms round trip" "https://127.0.0.1:$relay/" "$count"
    done

    echo
    echo "contacts/s, median of $repeat rounds; CPU = client CPU ms per item; in flight: CRM_INFLIGHT=$inflight / $inflight connections"
    echo
    echo "| endpoint | suite | bare loop, 1 reused handle | suite / bare | suite, $inflight in flight | in flight / suite | bare, $inflight connections | suite CPU | suite CPU, in flight | bare CPU |"
    echo "|---|---|---|---|---|---|---|---|---|---|"
    printf '%s\n' "${rows[@]}"
fi

if [ -n "$mail" ]; then
    bench_mail "local HTTPS" 0
    for rtt in $rtts; do
        bench_mail "HTTPS, ${rtt} ms round trip" "$rtt"
    done
    echo
    echo "e-mail import of $mail: messages/s, median of $repeat rounds; each ratio is against the bare replay"
    echo "measured in the same process right after the import; CPU = import CPU ms per message"
    echo
    echo "| endpoint | import, CRM_INFLIGHT unset | import, CRM_INFLIGHT=$inflight | bare replay, 1 reused handle | unset / bare | $inflight in flight / bare | CPU, unset | CPU, $inflight in flight |"
    echo "|---|---|---|---|---|---|---|---|"
    printf '%s\n' "${mail_rows[@]}"
fi
