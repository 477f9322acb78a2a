#!/usr/bin/env bash
# The main job on its embedded default: refpdp on loopback with the example policies, the example
# configuration pointed at it, the example requests decided through zemhost, and a table of what
# happened. Then the PDP goes away: the 502 page, and the permit with permit-when-no-kova-available.
#   tools/demo.sh BUILD_DIR
set -euo pipefail
BUILD=${1:?usage: demo.sh BUILD_DIR}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=$(mktemp -d /tmp/kova-demo-XXXXXX)
PDP_PID=""

cleanup() {
  [ -n "$PDP_PID" ] && kill "$PDP_PID" 2>/dev/null && wait "$PDP_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

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
echo
echo "demo finished: every outcome above came from the plug-in loaded as the proxy loads it."
