#!/usr/bin/env bash
# Converter speed next to readpst on the same files in the same run (a benchmark, not a test).
#
#   mime/bench/bench-mime.sh [BUILD_DIR] [ROUNDS]
#
# For each of the largest mail samples: bin/mimebench (every message to MIME, in memory) and
# `readpst -e -j 0` (one .eml per message, written to a tmpfs folder), each ROUNDS times (default 5),
# the fastest round of each. CPU time (user + system) is the measure: the machine is shared, so wall
# time depends on other load; wall time is shown too. Needs pst-utils (readpst), which only this
# benchmark uses: apt-get install pst-utils.
set -euo pipefail

here="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$here/build}"
rounds="${2:-5}"
data="${KELVOR_TESTDATA:-$here/../shared/testdata/pst}"
files=(mail/Outlook.pst mail/testPST.pst calendar/SampleOstFile.ost)

command -v readpst >/dev/null || { echo "readpst not installed (apt-get install pst-utils)" >&2; exit 2; }
[ -x "$build/bin/mimebench" ] || { echo "build bin/mimebench first" >&2; exit 2; }
out="$(mktemp -d -p /dev/shm mimebench.XXXXXX)"
trap 'rm -rf "$out"' EXIT

# cpu seconds, wall seconds and peak RSS (KiB) of one command: "cpu wall rss"
measure() {
    /usr/bin/time -f "%U %S %e %M" -o "$out/time" "$@" >/dev/null 2>&1
    awk '{printf "%.4f %.4f %d\n", $1 + $2, $3, $4}' "$out/time"
}

best() { sort -n | head -1; }

printf "%-20s %6s %6s | %-28s | %-28s | %s\n" file MiB msgs "mimebench cpu s (wall) RSS" "readpst cpu s (wall) RSS" "speed ratio (cpu)"
for f in "${files[@]}"; do
    path="$data/$f"
    mib=$(awk -v s="$(stat -c %s "$path")" 'BEGIN{printf "%.2f", s/1048576}')
    msgs=$("$build/bin/mimebench" "$path" | awk 'NR==1{print $2}')
    m=$(for i in $(seq "$rounds"); do measure "$build/bin/mimebench" "$path"; done | best)
    r=$(for i in $(seq "$rounds"); do
            rm -rf "$out/r"; mkdir -p "$out/r"
            measure readpst -e -j 0 -q -o "$out/r" "$path"
        done | best)
    read -r mc mw mr <<<"$m"
    read -r rc rw rr <<<"$r"
    ratio=$(awk -v a="$mc" -v b="$rc" 'BEGIN{ if (a > 0) printf "%.2fx readpst", b / a; else print "n/a" }')
    printf "%-20s %6s %6s | %8.4f (%7.4f) %6d KiB | %8.4f (%7.4f) %6d KiB | %s\n" "$(basename "$f")" "$mib" "$msgs" \
        "$mc" "$mw" "$mr" "$rc" "$rw" "$rr" "$ratio"
done
echo "readpst exports written: $(find "$out/r" -name '*.eml' | wc -l) .eml files in the last round"
