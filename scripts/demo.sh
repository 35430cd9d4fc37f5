#!/usr/bin/env bash
# The end-to-end demo: a local reference attribution service, a link registered with it, a landing
# page's marker on the pasteboard, the first launch (asks the service), the second launch (answers
# from the store), events and the per-channel summary, a wake-up link, a signed one, and a state
# report that waits for the service. The service's live console shows it all as it happens.
# Uses only bash, openssl and the project's own binaries. KEEP=1 leaves the service running at the
# end (with its database), so that the console link it prints can be opened.
set -euo pipefail
build=${1:-build}
bin="$(cd "$build/bin" && pwd)"
work=$(mktemp -d "${TMPDIR:-/tmp}/plovendale-demo-XXXXXX")
service_pid=""
keep=${KEEP:-}
cleanup() {
    if [ -n "$keep" ] && [ -n "$service_pid" ]; then return; fi
    if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
        kill "$service_pid" 2>/dev/null || true
        wait "$service_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

key=demoAppKey42
step() { printf '\n== %s\n' "$*"; }
show() { printf '   %s\n' "$@"; }

# A tiny HTTP GET over bash's /dev/tcp, so the demo needs no curl or python. The lists are the
# operator's: the service made its token beside the database on first start.
http_get() {
    exec 3<>"/dev/tcp/127.0.0.1/$1"
    printf 'GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer %s\r\nConnection: close\r\n\r\n' \
        "$2" "$(cat "$work/service.db.admin-token")" >&3
    sed '1,/^\r$/d' <&3
    exec 3<&- 3>&-
}

step "1. Start the reference attribution service on loopback"
"$bin/attribution-service" --port 0 --port-file "$work/port" --db "$work/service.db" >"$work/service.out" 2>"$work/service.log" &
service_pid=$!
for _ in $(seq 1 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || { echo "the service did not start"; cat "$work/service.log"; exit 1; }
port=$(cat "$work/port")
server="http://127.0.0.1:$port"
show "listening on $server (pid $service_pid)"
show "live console: $server/console?app=$key (open it in a browser and watch the steps arrive)"

step "2. Register a link (params and channel) with the service"
trace_id=$("$bin/attribution-service" register --db "$work/service.db" --app-key "$key" \
    --params 'invite=alice&campaign=winter' --channel spring-newsletter)
show "trace id: $trace_id"

step "3. The landing page leaves a marker on the pasteboard"
marker=$("$bin/plovendale" make-marker --app-key "$key" --trace-id "$trace_id")
show "$marker"

step "4. First launch: the library captures the marker and asks the service"
first=$("$bin/plovendale" trace --app-key "$key" --server "$server" --data-dir "$work/app-data" \
    --pasteboard-html "$marker" --device-model iPhone14,2 --screen 390x844@3 --os-version 17.4.1 2>"$work/trace1.log")
show "$first"
show "state reports recorded by the service: $(http_get "$port" "/api/state/$key")"

step "4b. The app tracks a purchase; the service sums revenue per channel"
# The library keeps the event in its outbox and sends it; sent twice under one id, it counts once.
for attempt in first again; do
    queued=$("$bin/plovendale" event --app-key "$key" --server "$server" --data-dir "$work/app-data" \
        --id demo-purchase-1 --param sku=winter-pass --revenue 9.99 EUR --events purchase \
        2>"$work/event-$attempt.log")
    show "$attempt: $queued  $(grep -o '{"event":"event.delivered"[^}]*}' "$work/event-$attempt.log")"
done
summary=$(http_get "$port" "/api/apps/$key/summary")
show "summary: $summary"

step "5. Second launch: answered from the store, no network"
second=$("$bin/plovendale" trace --app-key "$key" --server "http://127.0.0.1:9" --data-dir "$work/app-data" 2>"$work/trace2.log")
show "$second"

step "6. A wake-up link for the installed app"
link=$("$bin/plovendale" make-link --app-key "$key" --params 'screen=offers&id=7' --channel push)
show "link:    $link"
decoded=$("$bin/plovendale" link --app-key "$key" --data-dir "$work/app-data" "$link" 2>/dev/null)
show "decoded: $decoded"

step "7. A signed wake-up link: only links made with the service's key are taken"
openssl genpkey -algorithm ed25519 -out "$work/link.key" 2>/dev/null
openssl pkey -in "$work/link.key" -pubout -out "$work/link.pub" 2>/dev/null
signed=$("$bin/plovendale" make-link --app-key "$key" --params 'screen=offers&id=8' --channel email --sign-key "$work/link.key")
show "signed link: $signed"
verified=$("$bin/plovendale" link --app-key "$key" --data-dir "$work/app-data" --verify-key "$work/link.pub" "$signed" 2>/dev/null)
show "decoded:     $verified"
forged="${signed/&s=/&s=A}"
forged_out=$("$bin/plovendale" link --app-key "$key" --data-dir "$work/app-data" --verify-key "$work/link.pub" --events "$forged" 2>"$work/forged.log" || true)
show "forged:      $forged_out  $(grep -o '{"event":"link.refused"[^}]*}' "$work/forged.log")"

step "8. The service is down for state reports: the report waits in the outbox"
"$bin/attribution-service" --port 0 --port-file "$work/port2" --db "$work/service.db" --state-status 503 >/dev/null 2>&1 &
down_pid=$!
for _ in $(seq 1 100); do [ -s "$work/port2" ] && break; sleep 0.1; done
offline=$("$bin/plovendale" trace --app-key "$key" --server "http://127.0.0.1:$(cat "$work/port2")" --data-dir "$work/app2" 2>/dev/null || true)
kill "$down_pid"; wait "$down_pid" 2>/dev/null || true
show "another install, with no link, asks (organic): $offline"
queued=$("$bin/plovendale" outbox --data-dir "$work/app2")
show "outbox: $queued"
show "its next launch, with the service back:"
"$bin/plovendale" trace --app-key "$key" --server "$server" --data-dir "$work/app2" >/dev/null 2>&1 || true
emptied=$("$bin/plovendale" outbox --data-dir "$work/app2")
show "outbox: $emptied"
show "state reports recorded by the service: $(http_get "$port" "/api/state/$key")"

if [ -z "$keep" ]; then
    step "9. Stop the service"
    kill "$service_pid"
    wait "$service_pid" 2>/dev/null || true
    service_pid=""
    show "stopped (make demo KEEP=1 leaves it running, to open its console)"
fi

case "$first" in *'"outcome":"success"'*'invite=alice'*) ;; *) echo "first launch did not succeed"; exit 1 ;; esac
case "$second" in *'"outcome":"success"'*'invite=alice'*) ;; *) echo "second launch did not answer from the store"; exit 1 ;; esac
case "$decoded" in *'"handled":true'*) ;; *) echo "the link was not handled"; exit 1 ;; esac
case "$verified" in *'"handled":true'*) ;; *) echo "the signed link was not taken"; exit 1 ;; esac
case "$forged_out" in '{"handled":false}') ;; *) echo "the forged link was taken"; exit 1 ;; esac
case "$summary" in *'"channel":"spring-newsletter","events":1,"installs":1,"revenue":{"EUR":"9.99"}'*) ;; *) echo "the summary is wrong"; exit 1 ;; esac
case "$offline" in *'"outcome":"success","appData":null'*) ;; *) echo "the organic install was not answered as such"; exit 1 ;; esac
[ "$queued" = '{"queued":1}' ] || { echo "the undelivered report was not queued"; exit 1; }
[ "$emptied" = '{"queued":0}' ] || { echo "the queued report was not delivered"; exit 1; }
printf '\nDemo finished: attribution, events and summary, cached answer, wake-up links (signed too), an\norganic install and the outbox all worked.\n'
if [ -n "$keep" ]; then
    printf '\nThe service keeps running (KEEP=1): open %s/console?app=%s\n' "$server" "$key"
    printf 'Stop it with: kill %s   (its database and logs: %s)\n' "$service_pid" "$work"
fi
