#!/usr/bin/env bash
# Network benchmark: the suite's contacts import against an HTTPS test CRM (nginx + php-fpm,
# keep-alive, self-signed certificate), directly (also over plain HTTP) and behind a loopback
# relay that adds a round trip of 20, 50 and 100 ms, next to bare libcurl loops posting the same
# requests in the same run.
#
#   tools/bench-network.sh [--build DIR] [--count N] [--local-count N] [--rtt "20 50 100"] [--inflight N]
#
# --count: contacts per measurement behind the relay (default 100); --local-count: against the
# direct endpoint (default 1000); --inflight: requests in flight for the parallel rows (default 4:
# CRM_INFLIGHT for the suite, that many kept-alive connections for the bare loop).
# Prints a table (Markdown) at the end; the raw RESULT lines go to <build>/bench-network.log.
# Traffic stays on 127.0.0.1; every server and relay started here is stopped on exit.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build
count=100
local_count=1000
rtts="20 50 100"
inflight=4
while [ $# -gt 0 ]; do
    case "$1" in
    --build) build=$2; shift 2 ;;
    --count) count=$2; shift 2 ;;
    --local-count) local_count=$2; shift 2 ;;
    --rtt) rtts=$2; shift 2 ;;
    --inflight) inflight=$2; shift 2 ;;
    -h|--help) sed -n '2,13p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench-network: unknown option $1" >&2; exit 2 ;;
    esac
done

cmake --build "$build" --target kelvor_network_bench kelvor_delayproxy >/dev/null
bench=$build/bin/kelvor_network_bench
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

rows=()
bench_endpoint() {
    local name=$1 url=$2 n=$3
    echo "bench-network: $name ($n contacts per measurement)" >&2
    read -r s_rate s_cpu s_ok < <(measure "$name suite" import "$url" "$n")
    read -r b_rate b_cpu b_ok < <(measure "$name bare" bare "$url" "$n" 1)
    read -r p_rate p_cpu p_ok < <(measure "$name suite-inflight" import "$url" "$n" "$inflight")
    read -r m_rate m_cpu m_ok < <(measure "$name bare-multi" bare "$url" "$n" "$inflight")
    rows+=("| $name | $s_rate ($s_ok) | $b_rate ($b_ok) | $(pct "$s_rate" "$b_rate") | $p_rate ($p_ok) | $m_rate ($m_ok) | $s_cpu | $p_cpu | $b_cpu |")
}

bench_endpoint "local HTTP" "http://127.0.0.1:$(cat "$state/port")/" "$local_count"
bench_endpoint "local HTTPS" "https://127.0.0.1:$https_port/" "$local_count"
for rtt in $rtts; do
    start_relay "$rtt"
    bench_endpoint "HTTPS, ${rtt} ms round trip" "https://127.0.0.1:$relay/" "$count"
done

echo
echo "contacts/s (answered/sent); CPU = client CPU ms per item; in flight: CRM_INFLIGHT=$inflight / $inflight connections"
echo
echo "| endpoint | suite | bare loop, 1 reused handle | suite / bare | suite, $inflight in flight | bare, $inflight connections | suite CPU | suite CPU, in flight | bare CPU |"
echo "|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
