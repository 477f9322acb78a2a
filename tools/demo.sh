#!/usr/bin/env bash
# The main job on its embedded default: refpdp on loopback with the example policies, the example
# configuration pointed at it, the example requests decided through zemhost, and a table of what
# happened. Then the PDP goes away: the 502 page, and the permit with permit-when-no-kova-available.
# Last, the same outcomes for real web traffic: `zemhost serve --nginx` behind a real nginx running the
# example site (examples/nginx-kova.conf) in front of a small upstream.
#   tools/demo.sh BUILD_DIR
set -euo pipefail
BUILD=${1:?usage: demo.sh BUILD_DIR}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=$(mktemp -d /tmp/kova-demo-XXXXXX)
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

start_refpdp() {
  "$BUILD/refpdp" --listen 127.0.0.1:0 --rules "$ROOT/examples/policies.json" > "$WORK/refpdp.out" 2>&1 &
  PDP_PID=$!
  for _ in $(seq 100); do
    PORT=$(sed -n 's/^refpdp listening on .*:\([0-9]*\)$/\1/p' "$WORK/refpdp.out")
    [ -n "$PORT" ] && return 0
    sleep 0.05
  done
  echo "demo: refpdp did not start:" >&2
  cat "$WORK/refpdp.out" >&2
  exit 1
}

# The example configuration, pointed at this refpdp and at this run's audit file.
write_config() {
  sed -e "s#http://127.0.0.1:9080/#http://127.0.0.1:$PORT/#" \
      -e "s#^audit-log-cfg = .*#audit-log-cfg = file path=$WORK/audit.log#" \
      -e "s#^health-check-interval = .*#health-check-interval = 0#" \
      "$ROOT/examples/corvaned.conf" > "$WORK/corvaned.conf"
}

zemhost() { "$BUILD/zemhost" --config "$WORK/corvaned.conf" --message-file "$WORK/messages.log" "$@"; }

# One row per request: who asked for what (request line), what the PDP said (audit record, in order with
# one thread) and what the proxy does (zemhost's result).
print_table() {
  awk -v results="$WORK/results.jsonl" -v audit="$WORK/audit.log" '
    function field(line, pattern,    m) { return match(line, pattern) ? substr(line, RSTART, RLENGTH) : "" }
    function unquote(text) { sub(/^[^"]*"[^"]*" *[:,] *"?/, "", text); sub(/"?\]?$/, "", text); return text }
    function next_record(    line, rec) {
      rec = ""
      while ((getline line < audit) > 0) { if (line ~ /<\/kova-event>/) break; rec = rec line "\n" }
      return rec
    }
    function tag(rec, name,    m) {
      if (!match(rec, "<" name ">[^<]*</" name ">")) return ""
      m = substr(rec, RSTART, RLENGTH); sub("^<" name ">", "", m); sub("</" name ">$", "", m); return m
    }
    function pdp_answer(rec,    decision, obligation) {
      decision = tag(rec, "pdp-decision"); obligation = tag(rec, "pdp-obligation")
      if (decision == "") return tag(rec, "zem-policy-decision") == "AZN_C_NOT_PERMITTED" ? "(not asked: native policy denies)" : "-"
      return obligation == "" ? decision : decision " + obligation " obligation
    }
    function proxy_does(result,    outcome, value) {
      outcome = unquote(field(result, "\"outcome\":\"[^\"]*\""))
      if (outcome == "permit") return "serve it"
      if (outcome == "deny") return "403 Forbidden"
      if (outcome == "redirect") { value = field(result, "location: [^\"]*"); sub(/^location: /, "", value); return "302 to " value }
      if (outcome == "step-up") { value = field(result, "stepup_level\",\"value\":[0-9]+"); sub(/.*:/, "", value); return "ask to step up to level " value }
      if (outcome == "error-page") return "502 page"
      return outcome
    }
    BEGIN { printf "%-3s %-8s %-3s %-34s %-62s %s\n", "#", "user", "op", "resource", "PDP answer", "proxy does" }
    {
      user = unquote(field($0, "\"AZN_CRED_PRINCIPAL_NAME\", *\"[^\"]*\""))
      resource = unquote(field($0, "\"resource\": *\"[^\"]*\""))
      operation = unquote(field($0, "\"operation\": *\"[^\"]*\""))
      getline result < results
      printf "%-3d %-8s %-3s %-34s %-62s %s\n", NR, user, operation, resource, pdp_answer(next_record()), proxy_does(result)
    }' "$ROOT/examples/demo-requests.jsonl"
}

echo "== refpdp on loopback with examples/policies.json"
start_refpdp
write_config
echo "   listening on 127.0.0.1:$PORT; configuration: examples/corvaned.conf pointed at it"
echo
echo "== examples/demo-requests.jsonl through the plug-in (zemhost run)"
zemhost run --requests "$ROOT/examples/demo-requests.jsonl" --threads 1 > "$WORK/results.jsonl" 2> "$WORK/run.log"
print_table
echo
sed -n '/^decisions:/,$p' "$WORK/run.log" | grep -v QLXBA

echo
echo "== the PDP stops answering"
kill "$PDP_PID"; wait "$PDP_PID" 2>/dev/null || true; PDP_PID=""
request=(--resource /Corvane/inst1/docs/handbook.html --operation r --cred AZN_CRED_PRINCIPAL_NAME=alice
         --cred AUTHENTICATION_LEVEL=1)
zemhost decide "${request[@]}" || true
echo
echo "== the same with permit-when-no-kova-available = yes"
sed -i 's/^permit-when-no-kova-available = .*/permit-when-no-kova-available = yes/' "$WORK/corvaned.conf"
zemhost decide "${request[@]}"

# ---- real web traffic: zemhost serve behind nginx ------------------------------------------------------

# One row: user, groups, level, method, path; prints what the browser gets from nginx.
browse() {
  local user=$1 groups=$2 level=$3 method=$4 path=$5 headers=() result status location stepup body
  [ -n "$user" ] && headers+=(-H "X-Demo-User: $user" -H "X-Demo-Groups: $groups" -H "X-Demo-Level: $level")
  result=$(curl -s --path-as-is --unix-socket "$WORK/nginx/site.sock" -X "$method" "${headers[@]}" \
    -o "$WORK/body" -w '%{http_code}|%header{location}|%header{x-kova-stepup-level}' "http://localhost$path")
  IFS='|' read -r status location stepup <<< "$result"
  body=$(head -c 60 "$WORK/body" | tr -d '\n')
  case "$status" in
    200) body="serves: $body";;
    302) body="redirect to $location";;
    401) body="${stepup:+step up to level $stepup}";;
    403) body="forbidden";;
    502) body="502 page: no PDP answered";;
    500) body="refused (the service answered 400: bad input)";;
    *)   body="";;
  esac
  printf "%-8s %-6s %-34s %-5s %s\n" "${user:--}" "$method" "$path" "$status" "$body"
}

echo
echo "== real web traffic: nginx (auth_request, examples/nginx-kova.conf) -> zemhost serve --nginx -> refpdp"
start_refpdp
write_config
sed -i '/^HTTP_REQUEST_METHOD = method$/d' "$WORK/corvaned.conf"   # the PDP's rules speak of read and write
start_serve "$WORK/corvaned.conf" "$WORK" --nginx
start_site_nginx "$WORK/nginx" "$SERVE_PORT" "the application's page"
echo "   zemhost serve on 127.0.0.1:$SERVE_PORT, the site on $WORK/nginx/site.sock"
echo
printf "%-8s %-6s %-34s %-5s %s\n" "user" "method" "path" "HTTP" "the browser gets"
browse alice   "staff,engineering" 1 GET  /docs/handbook.html
browse mallory "staff"             1 GET  /docs/handbook.html
browse alice   "staff,engineering" 1 POST /docs/handbook.html
browse bob     "guests"            1 GET  /docs/handbook.html
browse alice   "staff,engineering" 1 GET  /payroll/2026-11.pdf
browse alice   "staff,engineering" 1 GET  /account/profile
browse alice   "staff,engineering" 1 GET  /consent/marketing
browse alice   "staff,engineering" 1 GET  /maintenance/status
browse alice   "staff,engineering" 1 GET  /public/%2e%2e/payroll/2026-11.pdf
echo
echo "== the PDP stops answering"
stop "$PDP_PID"; PDP_PID=""
browse alice "staff,engineering" 1 GET /docs/handbook.html
echo
echo "== permit-when-no-kova-available = yes, reloaded with SIGHUP"
sed -i 's/^permit-when-no-kova-available = .*/permit-when-no-kova-available = yes/' "$WORK/corvaned.conf"
kill -HUP "$SERVE_PID"
wait_for "$WORK/serve.log" "zemhost serve: reloaded"
browse alice "staff,engineering" 1 GET /docs/handbook.html
echo
echo "   access log of zemhost serve (last lines):"
grep '^20' "$WORK/serve.log" | tail -n 3 | sed 's/^/   /'
echo
echo "demo finished: every outcome above came from the plug-in loaded as the proxy loads it."
