#!/usr/bin/env bash
# Runs the benchmark suite and a macro run of zemhost bench against refpdp, and writes docs/performance.md.
#   tools/bench.sh BUILD_DIR [SECONDS]
set -euo pipefail
BUILD=${1:?usage: bench.sh BUILD_DIR [SECONDS]}
SECONDS_EACH=${2:-10}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=$(mktemp -d /tmp/kova-bench-XXXXXX)
OUT="$ROOT/docs/performance.md"
PDP_PID=""
SERVE_PID=""
NGINX_PID=""
stop() { if [ -n "$1" ]; then kill "$1" 2>/dev/null; wait "$1" 2>/dev/null || true; fi; }
cleanup() {
  stop "$NGINX_PID"; stop "$SERVE_PID"; stop "$PDP_PID"
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM
# shellcheck source=tools/serve-helpers.sh
. "$ROOT/tools/serve-helpers.sh"

export KOVA_BUILD_DIR="$BUILD" KOVA_PLUGIN="$BUILD/libkova_eas.so" KOVA_SOURCE_DIR="$ROOT"

echo "bench: Google Benchmark suite" >&2
"$BUILD/kova_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true > "$WORK/suite.txt"

echo "bench: zemhost bench with 1 and 2 threads, ${SECONDS_EACH} s each" >&2
"$BUILD/refpdp" --listen 127.0.0.1:0 --rules "$ROOT/examples/policies.json" > "$WORK/refpdp.out" 2>&1 &
PDP_PID=$!
for _ in $(seq 100); do
  PORT=$(sed -n 's/^refpdp listening on .*:\([0-9]*\)$/\1/p' "$WORK/refpdp.out"); [ -n "$PORT" ] && break; sleep 0.05
done
sed -e "s#http://127.0.0.1:9080/#http://127.0.0.1:$PORT/#" -e "s#^audit-log-cfg = .*##" \
    "$ROOT/examples/corvaned.conf" > "$WORK/corvaned.conf"
for threads in 1 2; do
  "$BUILD/zemhost" --config "$WORK/corvaned.conf" --message-file "$WORK/messages.log" bench --json \
    --requests "$ROOT/examples/demo-requests.jsonl" --threads "$threads" --seconds "$SECONDS_EACH" \
    > "$WORK/zemhost-$threads.json"
done

# One decision, the permit of alice on /docs/handbook.html, three ways: in-process (zemhost bench), through
# zemhost serve directly, and through nginx (auth_request) in front of zemhost serve --nginx.
echo "bench: one decision in-process, through zemhost serve and through nginx, 1 and 2 connections" >&2
sed -i '/^HTTP_REQUEST_METHOD = method$/d' "$WORK/corvaned.conf"
echo '{"resource": "/Corvane/inst1/docs/handbook.html", "operation": "r", "creds": [["AZN_CRED_PRINCIPAL_NAME", "alice"], ["AZN_CRED_GROUPS", "staff"], ["AZN_CRED_GROUPS", "engineering"], ["AZN_CRED_NETWORK_ADDRESS_STR", "127.0.0.1"]], "context": [["HTTP_HOST_HDR", "127.0.0.1"], ["HTTP_REQUEST_URI", "/docs/handbook.html"], ["HTTP_CLIENT_IP", "127.0.0.1"]]}' \
  > "$WORK/one-decision.jsonl"
identity=(--header "Remote-User: alice" --header "Remote-Groups: staff,engineering")
for threads in 1 2; do
  "$BUILD/zemhost" --config "$WORK/corvaned.conf" --message-file "$WORK/messages.log" bench \
    --requests "$WORK/one-decision.jsonl" --threads "$threads" --seconds "$SECONDS_EACH" > "$WORK/inproc-$threads.txt" 2>&1
done
mkdir -p "$WORK/direct" "$WORK/behind-nginx"
start_serve "$WORK/corvaned.conf" "$WORK/direct"
for connections in 1 2; do
  "$BUILD/zemhost" serve-load --url "http://127.0.0.1:$SERVE_PORT/auth" --connections "$connections" \
    --seconds "$SECONDS_EACH" --header "X-Original-URI: /docs/handbook.html" --header "X-Original-Method: GET" \
    "${identity[@]}" > "$WORK/serve-$connections.txt"
done
stop "$SERVE_PID"; SERVE_PID=""
start_serve "$WORK/corvaned.conf" "$WORK/behind-nginx" --nginx
start_site_nginx "$WORK/nginx" "$SERVE_PORT" "the application's page"
for connections in 1 2; do
  "$BUILD/zemhost" serve-load --url "http://localhost/docs/handbook.html" --unix-socket "$WORK/nginx/site.sock" \
    --connections "$connections" --seconds "$SECONDS_EACH" --header "X-Demo-User: alice" \
    --header "X-Demo-Groups: staff,engineering" > "$WORK/nginx-$connections.txt"
done

median() { grep -E "^$1.*_median" "$WORK/suite.txt" | head -1; }
# One field of zemhost bench --json, e.g. field 1 decisions_per_second or field 2 latency_ms.p99.
field() {
  python3 -c 'import json, sys
value = json.load(open(sys.argv[1]))
for key in sys.argv[2].split("."): value = value[key]
print(round(value, 3) if isinstance(value, float) else value)' "$WORK/zemhost-$1.json" "$2"
}
rate() { field "$1" decisions_per_second; }
zemhost_line() {
  echo "threads: $(field "$1" threads), decisions: $(field "$1" decisions) in $(field "$1" seconds) s"
  echo "throughput: $(field "$1" decisions_per_second) decisions/s"
  echo "latency: p50 $(field "$1" latency_ms.p50) ms, p90 $(field "$1" latency_ms.p90) ms, p99 $(field "$1" latency_ms.p99) ms, max $(field "$1" latency_ms.max) ms"
}
one=$(rate 1); two=$(rate 2)
bare_rate() { median "BM_BarePostLoad.*threads:$1" | grep -o 'posts_per_s=[0-9.]*k' | tr -d 'k' | cut -d= -f2; }
bare_one=$(bare_rate 1); bare_two=$(bare_rate 2)
# "rate p50 p99" of one run (throughput line, latency percentiles in ms)
figures() { awk '/^throughput:/ {r=$2} /^latency:/ {p50=$3; p99=$9} END {printf "%s %s %s", r, p50, p99}' "$WORK/$1.txt"; }
serve_row() {   # LABEL FILE-STEM CONNECTIONS
  read -r r p50 p99 <<< "$(figures "$2-$3")"
  echo "| $1 | $3 | $r | $p50 ms | $p99 ms |"
}
read -r _ inproc_p50 _ <<< "$(figures inproc-1)"
read -r _ serve_p50 _ <<< "$(figures serve-1)"

{
  echo "# Performance"
  echo
  echo "Written by \`./run bench\` on $(date -u '+%Y-%m-%d %H:%M UTC')."
  echo
  echo "## Machine"
  echo
  echo "- CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores"
  echo "- Memory: $(free -g | awk '/^Mem:/ {print $2}') GiB; load average before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "- Compiler: $(c++ --version | head -1); build type RelWithDebInfo (-O2)"
  echo
  echo "## Commands"
  echo
  echo '```'
  echo "./run bench                # this page"
  echo "build/kova_bench           # the suite alone (filter with --benchmark_filter=REGEX)"
  echo "zemhost --config FILE bench --requests examples/demo-requests.jsonl --threads N --seconds S"
  echo "zemhost serve-load --url http://127.0.0.1:9191/auth --connections N --seconds S --header 'X-Original-URI: /x' ..."
  echo '```'
  echo
  echo "## Targets"
  echo
  echo "| target | figure |"
  echo "|---|---|"
  echo "| typical request built in under 10 µs (median) | \`$(median 'BM_TypicalRequest' | awk '{print $2, $3, "wall,", $4, $5, "CPU"}')\` |"
  echo "| small response parsed in under 10 µs | \`$(median 'BM_ParseResponse/0' | awk '{print $2, $3}')\` |"
  echo "| whole decision at most 1.3 times the bare POST of its bytes | \`$(median 'BM_DecisionVersusBarePost' | grep -o 'ratio=[0-9.]*')\` |"
  echo "| 2 threads at least 1.8 times the throughput of 1 | ${one} → ${two} decisions/s: $(awk -v a="$one" -v b="$two" 'BEGIN {printf "%.2f", b / a}') times |"
  echo
  echo "refpdp runs on the same two cores as the plug-in: two client threads and the PDP's own work saturate the"
  echo "machine, so the bare POST of the same bytes is the ceiling for the two-thread ratio here:"
  echo "$bare_one k → $bare_two k posts/s from 1 to 2 threads ($(awk -v a="$bare_one" -v b="$bare_two" 'BEGIN {printf "%.2f", b / a}') times)."
  echo
  echo "## zemhost serve: one decision in-process, through serve, through nginx"
  echo
  echo "The permit of alice on /docs/handbook.html against refpdp; keep-alive connections from \`zemhost serve-load\`"
  echo "(libcurl), the service logging each request to a file; through nginx the example site (auth_request to"
  echo "\`serve --nginx\`, then the application) on a Unix socket. In-process is \`zemhost bench\` with the same decision."
  echo
  echo "| path | connections | decisions/s | p50 | p99 |"
  echo "|---|---|---|---|---|"
  for connections in 1 2; do
    read -r r p50 p99 <<< "$(figures "inproc-$connections")"
    echo "| in-process (zemhost bench) | $connections | $r | $p50 ms | $p99 ms |"
    serve_row "zemhost serve" serve "$connections"
    serve_row "nginx → zemhost serve" nginx "$connections"
  done
  echo "| bare POST of a request's bytes (floor) | 1 / 2 | ${bare_one}k / ${bare_two}k | | |"
  echo
  echo "| target | figure |"
  echo "|---|---|"
  echo "| a decision through serve at most 1.5 times an in-process one (p50, 1 connection) | $(awk -v a="$inproc_p50" -v b="$serve_p50" 'BEGIN {printf "%.2f times", b / a}') |"
  echo "| serve's added latency below 100 µs (p50, 1 connection) | $(awk -v a="$inproc_p50" -v b="$serve_p50" 'BEGIN {printf "%.0f µs", (b - a) * 1000}') |"
  echo
  echo "## zemhost bench against refpdp (examples/policies.json, examples/demo-requests.jsonl)"
  echo
  echo '```'
  zemhost_line 1
  zemhost_line 2
  echo '```'
  echo
  echo "## Google Benchmark suite (medians of 3 repetitions)"
  echo
  echo "BM_RequestScaling adds n items of one kind to the typical request: kind 0 HTTP items, 1 credential"
  echo "attributes, 2 groups; cost grows linearly in n. BM_BarePostLoad is the bare HTTP load of the same bytes"
  echo "from 1 and 2 threads, to set beside zemhost bench."
  echo
  echo '```'
  grep -E "^(Benchmark|-)|_median" "$WORK/suite.txt"
  echo '```'
} > "$OUT"
echo "bench: wrote $OUT" >&2
