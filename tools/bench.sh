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
# ---- the client against the floor: decisions, libcurl bare POSTs and raw-socket posts, 1 and 2 threads ----
# The three closed loops of kova_bench, their repetitions interleaved at random so that load from other
# work on the machine weighs on all alike; medians of five.
run_floor() {
  echo "bench: decisions against the libcurl bare POST and the raw-socket floor, 1 and 2 threads" >&2
  "$BUILD/kova_bench" --benchmark_filter='^BM_(Decision|CurlPost|RawPost)Load/' --benchmark_repetitions=5 \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true > "$WORK/floor.txt"
  echo "bench: decisions and raw-socket posts in alternating slices, 1 and 2 threads" >&2
  "$BUILD/kova_bench" --benchmark_filter='^BM_PairedLoad/' --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true > "$WORK/paired.txt"
}

# The median of one counter of the alternating-slices benchmark: paired_figure THREADS COUNTER
paired_figure() {
  grep -E "^BM_PairedLoad/.*threads:$1_median" "$WORK/paired.txt" | counter_value "$2"
}

# The median of one counter: floor_figure BENCHMARK THREADS COUNTER
floor_figure() {
  grep -E "^$1/.*threads:$2_median" "$WORK/floor.txt" | counter_value "$3"
}

# A counter's value from a benchmark line on standard input, its k or M suffix applied.
counter_value() {
  grep -o "\b$1=[0-9.]*[kM]*" | cut -d= -f2 |
    awk '/k$/ {sub(/k$/, ""); $1 *= 1000} /M$/ {sub(/M$/, ""); $1 *= 1000000} {print $1}'
}

# What bounds the paired ratios, from the same run: each kind's CPU per exchange in the request threads and
# in refpdp, and how much of the two virtual CPUs each kind kept busy.
paired_explanation() {
  local t c figures=()
  for t in 1 2; do
    for c in decision_cpu_us floor_cpu_us decision_pdp_cpu_us floor_pdp_cpu_us decision_per_s floor_per_s \
             decision_p50_us floor_p50_us decision_slice_low_per_s decision_slice_high_per_s \
             floor_slice_low_per_s floor_slice_high_per_s; do
      figures+=("$(paired_figure "$t" "$c")")
    done
  done
  awk -v f="${figures[*]}" 'BEGIN { split(f, v, " ")
    dc1 = v[1]; fc1 = v[2]; dp1 = v[3]; fp1 = v[4]; dl1 = v[7]; fl1 = v[8]
    dc2 = v[13]; fc2 = v[14]; dp2 = v[15]; fp2 = v[16]; dr2 = v[17]; fr2 = v[18]
    dlow2 = v[21]; dhigh2 = v[22]; flow2 = v[23]; fhigh2 = v[24]
    printf "What bounds the ratios here (the paired run): at one thread a decision takes %.1f µs of client CPU\n", dc1
    printf "against the raw post'"'"'s %.1f µs (the difference is the plug-in, the framework stand-in and the XML writing\n", fc1
    printf "and reading: the socket work is the same send and read), and its p50 is\n"
    printf "%.1f µs above. refpdp spends %.1f µs of CPU per decision and %.1f µs per raw post: the same bytes in, the same\n", dl1 - fl1, dp1, fp1
    printf "answer out. At two threads the client CPU is %.1f against %.1f µs and refpdp'"'"'s %.1f against %.1f µs, so\n", dc2, fc2, dp2, fp2
    printf "even with both virtual CPUs busy all the time decisions could reach at most %.2f times the floor'"'"'s rate.\n", (fc2 + fp2) / (dc2 + dp2)
    printf "The decisions kept %.0f%% of the two virtual CPUs busy and the raw posts %.0f%%: the rest is time in which every\n", 100 * dr2 * (dc2 + dp2) / 2e6, 100 * fr2 * (fc2 + fp2) / 2e6
    printf "thread waits for a wake-up (or other work ran). This virtual machine halts an idle virtual CPU at once (no\n"
    printf "cpuidle driver), so each wake-up of refpdp or of the client goes through the hypervisor, and a bare system\n"
    printf "call costs over a microsecond. The request threads wait on no lock (strace: no futex calls in them).\n"
    printf "From one thread to two a decision'"'"'s client CPU rose by %.1f µs and the raw post'"'"'s by %.1f µs, refpdp'"'"'s\n", dc2 - dc1, fc2 - fc1
    printf "CPU per decision by %.1f µs and per raw post by %.1f µs: two request threads and refpdp'"'"'s two connection\n", dp2 - dp1, fp2 - fp1
    printf "threads share the two virtual CPUs and their caches, and a decision touches far more code and data than a\n"
    printf "raw post. Part of that rise was the handle pool lending each thread the handle the other had just used\n"
    printf "(its connection'"'"'s buffers and the reader'"'"'s state then came out of the other processor'"'"'s cache) and one\n"
    printf "handle counter every thread wrote; both are gone since this round. Lending a thread its own idle handle\n"
    printf "without the pool'"'"'s lock would save about 0.75 µs more per decision at two threads (measured with a\n"
    printf "thread-local slot that ignored shutdown and waiters); doing it safely against a shutdown in flight takes\n"
    printf "more lock-free code in the pool than that is worth. Within the two-thread run the raw posts'"'"' slices went from %.0f to\n", flow2
    printf "%.0f posts/s and the decisions'"'"' from %.0f to %.0f decisions/s: neighbouring slices 400 ms apart differ by\n", fhigh2, dlow2, dhigh2
    printf "more than a target'"'"'s margin, with load from other work and with where the scheduler places the four busy\n"
    printf "threads on the two virtual CPUs, so a ratio read from\n"
    printf "one run can land on either side of a target a few per cent away.\n\n" }'
}

floor_section() {
  local kind threads label
  echo "## The client against the floor: decisions, libcurl bare POSTs, raw-socket posts"
  echo
  echo "Closed loops in one run of kova_bench against one refpdp, one keep-alive connection per thread: whole"
  echo "decisions through the loaded plug-in (credentials and context built once per thread; the SOAP call runs"
  echo "the host library's own HTTP/1.1 client), the libcurl keep-alive POST of the bytes a decision sends (the"
  echo "transport the SOAP call had before), and the raw-socket floor (no HTTP library: the same bytes,"
  echo "SOAPAction and content type in one write, the answer read to its Content-Length). Client CPU is the"
  echo "thread's CPU clock per exchange; heap blocks are every malloc, calloc and realloc of the thread per"
  echo "exchange (plug-in, host library, libxml2, and libcurl in its own row; the loop itself allocates none). Medians of five"
  echo "repetitions interleaved at random. refpdp shares the two cores, and so do other developers' builds: the"
  echo "load average before the run was $LOAD_BEFORE, so wall figures are noisy and the thread CPU clock too"
  echo "(cache and frequency are shared); heap block counts and the callgrind instruction counts below do not move."
  echo
  echo "| exchange | threads | per second | p50 | client CPU per exchange | heap blocks per exchange |"
  echo "|---|---|---|---|---|---|"
  for threads in 1 2; do
    for kind in Decision CurlPost RawPost; do
      case $kind in Decision) label="whole decision";; CurlPost) label="libcurl bare POST";; RawPost) label="raw-socket post (floor)";; esac
      printf '| %s | %s | %.0f | %.1f µs | %.1f µs | %.1f |\n' "$label" "$threads" \
        "$(floor_figure "BM_${kind}Load" "$threads" per_s)" "$(floor_figure "BM_${kind}Load" "$threads" p50_us)" \
        "$(floor_figure "BM_${kind}Load" "$threads" cpu_us)" "$(floor_figure "BM_${kind}Load" "$threads" allocs)"
    done
  done
  local ratio1 ratio2 pairs1 pairs2 dp rp dc cc
  ratio1=$(paired_figure 1 ratio); ratio2=$(paired_figure 2 ratio)
  pairs1=$(paired_figure 1 pair_median_ratio); pairs2=$(paired_figure 2 pair_median_ratio)
  dp=$(paired_figure 1 decision_p50_us); rp=$(paired_figure 1 floor_p50_us)
  dc=$(floor_figure BM_DecisionLoad 1 cpu_us); cc=$(floor_figure BM_CurlPostLoad 1 cpu_us)
  echo
  echo "The loops above run one after the other, so each meets a different share of the load from other work,"
  echo "which comes and goes over seconds on this machine: the same build gave two-thread ratios from 0.6 to 0.9"
  echo "between runs. The targets are therefore read from BM_PairedLoad, where each thread alternates slices of"
  echo "400 ms of decisions and of raw-socket posts on its two connections for 24 slices: the ratio is decisions/s"
  echo "over posts/s across the run, each kind's twelve slices interleaved with the other's; the p50 latencies are"
  echo "each kind's over the whole run (medians of three runs). Beside the ratio, the median over neighbouring"
  echo "slices of the same ratio, which earlier pages gave alone: the floor's slices spread widely within one run"
  echo "(see below), so that median falls near one of the floor's modes rather than on the rate over the run."
  echo
  echo "| target | figure | met |"
  echo "|---|---|---|"
  awk -v d="$dp" -v r="$rp" 'BEGIN {printf "| one thread: decision p50 at most 1.10 times the floor | %.2f times (%.1f against %.1f µs) | %s |\n", d / r, d, r, (d / r <= 1.10) ? "yes" : "no"}'
  awk -v q="$ratio1" -v m="$pairs1" 'BEGIN {printf "| one thread: floor posts/s at most 1.10 times decisions/s | %.2f times (neighbouring slices: %.2f) | %s |\n", 1 / q, 1 / m, (1 / q <= 1.10) ? "yes" : "no"}'
  awk -v q="$ratio2" -v m="$pairs2" 'BEGIN {printf "| two threads: decisions/s at least 0.85 times the floor posts/s | %.2f times (neighbouring slices: %.2f) | %s |\n", q, m, (q >= 0.85) ? "yes" : "no"}'
  awk -v d="$dc" -v c="$cc" 'BEGIN {printf "| client CPU per decision at most the bare POST'"'"'s + 15 µs (one thread) | %+.1f µs | %s |\n", d - c, (d - c <= 15) ? "yes" : "no"}'
  local rc
  rc=$(floor_figure BM_RawPostLoad 1 cpu_us)
  echo
  paired_explanation
  awk -v d="$dc" -v c="$cc" -v r="$rc" 'BEGIN {printf "Where the client CPU of one decision goes (one thread): %.1f µs in all, of which %.1f µs is the raw\nexchange itself (system calls on the socket) and %.1f µs the plug-in, the framework stand-in, the SOAP client\nand its HTTP client together; libcurl'"'"'s easy interface alone costs %.1f µs above the raw exchange.\n", d, r, d - r, c - r}'
  echo
  echo "| target | figure | met |"
  echo "|---|---|---|"
  local wild
  wild=$(median 'BM_LookupWildcardObligationURL' | awk '{print $2}')
  awk -v w="$wild" 'BEGIN {printf "| wildcard obligation lookup (1,000 wildcard entries) under 200 ns | %s ns | %s |\n", w, (w < 200) ? "yes" : "no"}'
  # Beside the 20,000 figure, the same decision with 2,000: ten times the items should cost about ten
  # times as much, and the ratios show where the growth is not linear.
  local kind large small
  for kind in 1:credentials 2:groups; do
    large=$(median "BM_LargeDecision/kind:${kind%%:*}/n:20000")
    small=$(median "BM_LargeDecision/kind:${kind%%:*}/n:2000")
    awk -v l="$large" -v s="$small" -v what="${kind#*:}" 'BEGIN {split(l, f, " "); split(s, g, " ")
      printf "| a decision with 20,000 more %s in under 50 ms | %s ms wall, %s ms client CPU (2,000: %s ms, %s ms; %.1f and %.1f times) | %s |\n", what, f[2], f[4], g[2], g[4], f[2] / g[2], f[4] / g[4], (f[2] < 50) ? "yes" : "no"}'
  done
  echo "| heap blocks per whole decision, written down and falling | $(floor_figure BM_DecisionLoad 1 allocs) | see the profile section |"
  echo
  echo "Large decisions: callgrind, the decision alone in one BM_LargeDecision iteration (the harness's credential"
  echo "building apart): with 20,000 more credentials 105.6 to 73.2 million client instructions, with 20,000 more"
  echo "groups 74.5 to about 67 million. The host's attribute lists are contiguous: entries in one vector (an entry's"
  echo "first value inline, further values in a vector of their own), every name and text in one block, and an"
  echo "open-addressing index of entry positions beside them; copies share that storage until one of them changes."
  echo "So the decision's copy of the subject's list (azn_creds_get_attrlist_for_subject with its create) went from"
  echo "15.3 million instructions to under a thousand and deleting it from 11.5 million to almost nothing; building"
  echo "the harness's credential, 60.0 to 22.7 million; a typical decision's heap blocks, 145 to 114 (BM_DecisionLoad)."
  echo "An erased entry is marked and skipped until marks would"
  echo "outnumber live entries, then the list is rebuilt. The plug-in's read (loadData with 20,000 credentials, 44"
  echo "million instructions before, 16.4 million now) is the C API's own per-item work: a copied text per value (in a"
  echo "block the thread reuses), the names in one block, two lookups by name, and each text copied into the"
  echo "decision's lists, whose texts live in blocks of their own; a trace line of a level not written costs one"
  echo "comparison and formats nothing. refpdp reads the 3.4 MB request with libxml2's SAX2 callbacks instead of"
  echo "building, walking and freeing a document tree, and keeps the values in a hash map: 311 to 148 million instructions per"
  echo "20,000-credential request (the parse 276 to 128). What made time per instruction grow was not cache misses"
  echo "but page faults: glibc maps every block above its mmap threshold afresh and unmaps it on free, so each"
  echo "multi-megabyte buffer of a large decision was faulted in page by page on every decision, and page faults"
  echo "are dear on this virtual machine. The SOAP call now sends the HTTP head, the envelope's start, each piece of"
  echo "the request document and the envelope's end with each piece of 16 KiB or more written from its own memory"
  echo "(the small ones copied together into one buffer, or over TLS into 16 KiB records), instead of joining them"
  echo "into an envelope and then into an HTTP message: two 3.4 MB copies fewer, and the client's page"
  echo "faults per 20,000-credential decision (perf stat) went from 2,736 to under ten (groups: 7,035), its CPU from"
  echo "48 to 7 ms. refpdp keeps freed heap for the next request (mmap threshold 32 MiB, trim threshold 256 MiB)."
  echo "Earlier: the plug-in's copy of the decision data (KOVAData) became a vector reserved from the name count."
  echo
  echo '```'
  grep -E "^(Benchmark|-)|_median" "$WORK/floor.txt"
  grep -E "_median" "$WORK/paired.txt"
  echo '```'
  echo
}

# ---- where the CPU goes: callgrind on zemhost bench, 2 threads against refpdp ----
# Instruction counts do not depend on the load from other work on the machine. The profile from before the
# latest changes is kept in bench/profile-before.txt (made by this same function) to set beside it.
PROFILE_SECONDS=3
run_profile() {   # CONFIG
  echo "bench: callgrind on zemhost bench, 2 threads, ${PROFILE_SECONDS} s" >&2
  valgrind --tool=callgrind --collect-atstart=no '--toggle-collect=zemhost::PluginHost::decide*' \
    --callgrind-out-file="$WORK/callgrind.out" "$BUILD/zemhost" --config "$1" \
    --message-file "$WORK/messages.log" bench --requests "$ROOT/examples/demo-requests.jsonl" --threads 2 \
    --seconds "$PROFILE_SECONDS" > "$WORK/profile-run.txt" 2> "$WORK/callgrind.log"
  profile_top "$WORK/callgrind.out" > "$WORK/profile.txt"
}

# The top of a callgrind profile by own instructions: share, count per decision, function and library.
profile_top() {
  local decisions
  decisions=$(sed -n 's/^threads: [0-9]*, decisions: \([0-9]*\).*/\1/p' "$WORK/profile-run.txt")
  echo "decisions: $decisions"
  callgrind_annotate --inclusive=no --threshold=100 "$1" 2>/dev/null |
    awk -v n="$decisions" '/^ *[0-9,]+ \( *[0-9.]+%\) / && !/PROGRAM TOTALS/ {
        count = $1; gsub(",", "", count); match($0, /\( *[0-9.]+%\)/); share = substr($0, RSTART + 1, RLENGTH - 2); gsub(/ /, "", share)
        name = $0; sub(/^[^)]*\) +/, "", name); sub(/^[^:]*:/, "", name)
        if (++rows <= 20) printf "%7s %9.0f  %s\n", share, count / n, name }
      /PROGRAM TOTALS/ {total = $1; gsub(",", "", total); printf "all: %.0f instructions per decision\n", total / n}'
  echo "including what they call:"
  callgrind_annotate --inclusive=yes --threshold=100 "$1" 2>/dev/null |
    awk -v n="$decisions" -v parts="$PROFILE_PARTS" 'BEGIN {k = split(parts, want, "|")}
      /^ *[0-9,]+ \( *[0-9.]+%\) +[.\/?]/ {
        for (i = 1; i <= k; ++i) if (!(i in seen) && (index($0, ":" want[i] "(") || index($0, ":" want[i] " ["))) {
          seen[i] = 1; count = $1; gsub(",", "", count); match($0, /\( *[0-9.]+%\)/); share = substr($0, RSTART + 1, RLENGTH - 2); gsub(/ /, "", share)
          line[i] = sprintf("%7s %9.0f  %s", share, count / n, want[i]) } }
      END {for (i = 1; i <= k; ++i) if (i in line) print line[i]}'
}
# The parts of a decision shown with what they call: harness, plug-in, SOAP client, HTTP, XML.
PROFILE_PARTS="zemhost::Creds::Creds|KOVAData::loadData|KOVARequest::formatRequest|NVWSOAPCall::execute|orbsec_axiscpp::HttpConnection::exchange|orbsec_axiscpp::SoapResponse::parse|orbsec_axiscpp::SoapResponse::contentPieces|KOVAResponse::parse|KOVAConfig::getObligation[abi:cxx11]"

profile_section() {
  echo "## Where the CPU goes: callgrind on zemhost bench, 2 threads against refpdp"
  echo
  echo "\`valgrind --tool=callgrind zemhost bench --threads 2\` with examples/demo-requests.jsonl for ${PROFILE_SECONDS} s"
  echo "(the harness included, refpdp not): each function's own instructions, as a share of the process and per"
  echo "decision. Callgrind counts instructions, so these figures hold on a busy machine."
  echo
  echo "Since the previous run (71.7 k instructions and 23 heap blocks per decision), aimed at what two request"
  echo "threads cost each other and at what callgrind does not count: the SOAP client copies the request's small"
  echo "pieces into one buffer before the write, where it handed the kernel two dozen pieces in one sendmsg (about"
  echo "2.5 µs less client CPU per exchange, thread CPU clock, four interleaved runs); a request thread is lent the"
  echo "pooled handle it gave back last, so its connection's buffers and libxml2's reader state are still in its"
  echo "processor's caches (with two threads and a pool that lends the newest idle handle, the handles changed"
  echo "threads at almost every decision); a thread makes its framework handles in a shard of its own, numbered"
  echo "there, instead of from one counter every thread writes; the cluster counts turns only when members share a"
  echo "priority. Handle objects, name arrays, response objects, the credential walk's group array and the request"
  echo "attributes' value arrays stay with the thread, each list takes the smallest kept item array that fits, and"
  echo "the decision's service call is the module's: heap blocks 23 to 11 (9 of the rest are libxml2's URI checks"
  echo "of the answer's namespace declarations). Instructions per decision stay about the same."
  echo
  echo "Before:"
  echo
  echo '```'
  cat "$ROOT/bench/profile-before.txt"
  echo '```'
  echo
  echo "Now:"
  echo
  echo '```'
  cat "$WORK/profile.txt"
  echo '```'
  echo
}

# shellcheck source=tools/serve-helpers.sh
. "$ROOT/tools/serve-helpers.sh"

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
export KOVA_BUILD_DIR="$BUILD" KOVA_PLUGIN="$BUILD/libkova_eas.so" KOVA_SOURCE_DIR="$ROOT"

echo "bench: Google Benchmark suite" >&2
"$BUILD/kova_bench" --benchmark_filter=-Load/ --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true > "$WORK/suite.txt"
run_floor

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

run_profile "$WORK/corvaned.conf"

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
bare_rate() { floor_figure BM_CurlPostLoad "$1" per_s | awk '{printf "%.4g", $1 / 1000}'; }
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
  floor_section
  profile_section
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
