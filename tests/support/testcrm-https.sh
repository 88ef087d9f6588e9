#!/usr/bin/env bash
# The test CRM's nginx + php-fpm mode: HTTPS answers on a kept-alive connection, items stored,
# the certificate survives a restart, and stop leaves no server process behind.
#   testcrm-https.sh <testcrm command> <scratch folder>
set -euo pipefail
testcrm=$1
state=$2/https-state
rm -rf "$state"
fail() { echo "FAIL: $*" >&2; "$testcrm" stop "$state" >/dev/null 2>&1 || true; exit 1; }

"$testcrm" start --https "$state" >/dev/null || fail "start --https"
base=$("$testcrm" https-url "$state" tls)
"$testcrm" reset "$state" tls

envelope() {
    printf '<?xml version="1.0" encoding="UTF-8"?>\n<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"><SOAP-ENV:Body>%s</SOAP-ENV:Body></SOAP-ENV:Envelope>' "$1"
}
login=$(envelope '<NS1:crmLogin xmlns:NS1="urn:crmlogon"><login xsi:type="xsd:string">demo</login><pass xsi:type="xsd:string">demo</pass></NS1:crmLogin>')
sid=$(curl -sk --max-time 20 -H 'content-type: text/xml; charset=utf-8' --data-binary "$login" "${base}soap/index.php?op=logon" |
      sed -n 's/.*<return[^>]*>\([0-9a-f]\{32\}\)<\/return>.*/\1/p')
[ ${#sid} -eq 32 ] || fail "no session id over HTTPS"

# Three contacts in one curl run: every transfer after the first reuses the connection.
args=()
for i in 1 2 3; do
    body=$(envelope "<NS1:crmAddPContact xmlns:NS1=\"urn:crmemail\"><session_id xsi:type=\"xsd:string\">$sid</session_id><PContactItem xsi:type=\"NS1:PContactItem\"><list xsi:type=\"xsd:string\">0</list><firstname xsi:type=\"xsd:string\">Anna$i</firstname><lastname xsi:type=\"xsd:string\">M&#252;ller</lastname></PContactItem></NS1:crmAddPContact>")
    args+=(--next -sk --max-time 20 -o /dev/null -w '%{http_code} %{num_connects}\n'
           -H 'content-type: text/xml; charset=utf-8' --data-binary "$body" "${base}soap/index.php?op=email")
done
outcome=$(curl "${args[@]:1}")
[ "$outcome" = $'200 1\n200 0\n200 0' ] || fail "expected three answers on one connection, got: $outcome"
stored=$("$testcrm" dump "$state" tls | php -r '$d = json_decode(stream_get_contents(STDIN), true); echo count($d["pcontacts"]), " ", $d["pcontacts"][0]["lastname"];')
[ "$stored" = "3 Müller" ] || fail "stored: $stored"

# More requests at once than there are PHP workers: each waits its turn, none is left behind a
# worker that holds an idle kept-alive connection of nginx (they would hang until the read timeout).
"$testcrm" fault "$state" tls slow:crmAddPContact
args=()
for i in 1 2 3 4 5 6 7 8 9 10; do
    body=$(envelope "<NS1:crmAddPContact xmlns:NS1=\"urn:crmemail\"><session_id xsi:type=\"xsd:string\">$sid</session_id><PContactItem xsi:type=\"NS1:PContactItem\"><list xsi:type=\"xsd:string\">0</list><firstname xsi:type=\"xsd:string\">Parallel$i</firstname><lastname xsi:type=\"xsd:string\">Meier</lastname></PContactItem></NS1:crmAddPContact>")
    args+=(--next -sk --max-time 40 -o /dev/null -w '%{http_code}\n'
           -H 'content-type: text/xml; charset=utf-8' --data-binary "$body" "${base}soap/index.php?op=email")
done
# Twice: the second round starts with the connections nginx kept from the first.
for round in 1 2; do
    outcome=$( (curl -s --parallel --parallel-immediate --parallel-max 10 "${args[@]:1}" 2>/dev/null || true) | sort | uniq -c | tr -s ' ')
    [ "$outcome" = " 10 200" ] || fail "round $round of ten requests at once: $outcome"
done
"$testcrm" fault "$state" tls ""

fingerprint() { openssl x509 -noout -fingerprint -sha256 -in "$state/tls/cert.pem"; }
before=$(fingerprint)
[ "$(stat -c %a "$state/tls")" = 700 ] || fail "certificate folder not owner-only"
"$testcrm" start --https "$state" >/dev/null || fail "restart"
[ "$(fingerprint)" = "$before" ] || fail "certificate changed on restart"
"$testcrm" status "$state" >/dev/null || fail "status after restart"

"$testcrm" stop "$state"
sleep 0.2
if ps -eo args | grep -F "$state/https" | grep -v grep >/dev/null; then
    fail "server processes left after stop: $(ps -eo pid,args | grep -F "$state/https" | grep -v grep)"
fi
echo "testcrm --https: ok"
