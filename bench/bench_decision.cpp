// One whole decision through the loaded plug-in against refpdp on loopback, beside a bare keep-alive POST
// of the very bytes that decision sent, in the same run; and response parsing, small and 64 KiB.
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench_support.h"
#include "e2e/decision_fixture.h"
#include "rba/KOVAResponse.h"

namespace {

using kova_test::Attributes;

const Attributes TYPICAL_CREDS = {
    {"AZN_CRED_PRINCIPAL_NAME", "alice"},
    {"AZN_CRED_NETWORK_ADDRESS_STR", "192.0.2.10"},
    {"AUTHENTICATION_LEVEL", "1"},
    {"AZN_CRED_AUTH_METHOD", "password"},
    {"AZN_CRED_REGISTRY_ID", "cn=alice,ou=people,secAuthority=Default"},
    {"AZN_CRED_GROUP_REGISTRY_IDS", "cn=staff,ou=groups,secAuthority=Default"},
    {"AZN_CRED_GROUP_REGISTRY_IDS", "cn=finance,ou=groups,secAuthority=Default"},
    {"AZN_CRED_GROUPS", "staff"},
};
const Attributes TYPICAL_CONTEXT = {
    {"HTTP_HOST_HDR", "www.example.com"},
    {"HTTP_USER_AGENT", "Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0"},
    {"HTTP_REQUEST_METHOD", "GET"},
    {"HTTP_CLIENT_IP", "192.0.2.10"},
};

const char* const PERMITTED_OBJECT = "/Corvane/inst1/permit/portal/index.html";

// The plug-in started against a refpdp that records what it receives.
class DecisionPeer : public kova_test::DecisionFixture {
public:
    DecisionPeer() {
        SetUp();
        start();
    }
    ~DecisionPeer() override { TearDown(); }
    void TestBody() override {}

    int decideOnce() { return decide(PERMITTED_OBJECT, TYPICAL_CREDS, TYPICAL_CONTEXT).permission; }
    // One decision with credentials and context the caller keeps; the answer's list is deleted, as the
    // host does.
    int decideWith(kova_test::Credentials& creds, kova_test::AttrList& context) {
        int permission = AZN_C_NOT_PERMITTED;
        azn_attrlist_h_t info = 0;
        azn_status_t status =
            plugin->decide(creds.handle(), PERMITTED_OBJECT, "r", context.handle(), &permission, &info);
        if (azn_util_handle_is_valid(info)) azn_attrlist_delete(&info);
        return status == 0 ? permission : -1;
    }
    std::string url() const { return pdp->url(); }
    std::string lastRequestBody() {
        kova_test::writeFile(dir.file("requests.xml"), "");
        decideOnce();
        std::string body = recorded();
        body.pop_back();  // the recorder's separator
        return body;
    }
};

void BM_DecisionVersusBarePost(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    DecisionPeer peer;
    kova_bench::BarePost bare(peer.url(), peer.lastRequestBody());
    Clock::duration decisionTime{}, bareTime{};
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        int permission = peer.decideOnce();
        Clock::time_point middle = Clock::now();
        bool posted = bare.post();
        decisionTime += middle - start;
        bareTime += Clock::now() - middle;
        if (permission != AZN_C_PERMITTED || !posted) state.SkipWithError("exchange failed");
    }
    double iterations = static_cast<double>(state.iterations());
    state.counters["decision_us"] = std::chrono::duration<double, std::micro>(decisionTime).count() / iterations;
    state.counters["bare_us"] = std::chrono::duration<double, std::micro>(bareTime).count() / iterations;
    state.counters["ratio"] = static_cast<double>(decisionTime.count()) / static_cast<double>(bareTime.count());
}
BENCHMARK(BM_DecisionVersusBarePost)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// Closed loops from 1 and 2 threads against the same refpdp, each thread with its own connection: whole
// decisions through the loaded plug-in (credentials and context built once per thread, outside the
// loop), the libcurl keep-alive POST of the bytes a decision sends, and the raw-socket floor posting the
// same bytes. Reported per thread and averaged: the median latency, the thread's CPU and its heap blocks
// per exchange; summed: exchanges per second.
double threadCpuMicros() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// The middle value (0 for none); reorders `values`.
double medianOf(std::vector<double>& values) {
    if (values.empty()) return 0;
    auto middle = values.begin() + static_cast<long>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

template <typename Exchange>
void exchangeLoad(benchmark::State& state, Exchange exchange) {
    using Clock = std::chrono::steady_clock;
    std::vector<double> latencies;
    latencies.reserve(1 << 20);
    double cpuStart = threadCpuMicros();
    unsigned long allocationsStart = kova_bench::threadAllocations();
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        if (!exchange()) {
            state.SkipWithError("exchange failed");
            break;
        }
        latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    double count = static_cast<double>(std::max<std::size_t>(latencies.size(), 1));
    double allocations = static_cast<double>(kova_bench::threadAllocations() - allocationsStart);
    double cpu = threadCpuMicros() - cpuStart;
    double p50 = medianOf(latencies);
    state.counters["per_s"] = benchmark::Counter(static_cast<double>(latencies.size()), benchmark::Counter::kIsRate);
    state.counters["p50_us"] = benchmark::Counter(p50, benchmark::Counter::kAvgThreads);
    state.counters["cpu_us"] = benchmark::Counter(cpu / count, benchmark::Counter::kAvgThreads);
    state.counters["allocs"] = benchmark::Counter(allocations / count, benchmark::Counter::kAvgThreads);
}

DecisionPeer& loadPeer() {
    static DecisionPeer peer;
    return peer;
}

const std::string& loadBody() {
    static const std::string body = loadPeer().lastRequestBody();
    return body;
}

void BM_DecisionLoad(benchmark::State& state) {
    DecisionPeer& peer = loadPeer();
    loadBody();
    kova_test::Credentials creds(TYPICAL_CREDS);
    kova_test::AttrList context(TYPICAL_CONTEXT);
    exchangeLoad(state, [&] { return peer.decideWith(creds, context) == AZN_C_PERMITTED; });
}

void BM_CurlPostLoad(benchmark::State& state) {
    kova_bench::BarePost bare(loadPeer().url(), loadBody());
    exchangeLoad(state, [&] { return bare.post(); });
}

void BM_RawPostLoad(benchmark::State& state) {
    kova_bench::RawPost raw(loadPeer().url(), loadBody());
    exchangeLoad(state, [&] { return raw.post(); });
}

BENCHMARK(BM_DecisionLoad)->Threads(1)->Threads(2)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_CurlPostLoad)->Threads(1)->Threads(2)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_RawPostLoad)->Threads(1)->Threads(2)->UseRealTime()->MinTime(2.0);

// Decisions and raw-socket posts in alternating slices of one closed loop per thread. Load from other work
// on the machine comes and goes over seconds, so comparing each slice with the next weighs it on both sides
// of a ratio alike, where loops run one after the other each meet a different share of it. Reported: the
// median over neighbouring slices of decisions/s over posts/s, and the p50 latency of each kind over the run.
constexpr int PAIRED_SLICES = 24;
constexpr std::chrono::milliseconds PAIRED_SLICE{400};

class PairedTally {
public:
    void reset(int threads) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_counts.fill(0);
        m_latencies[0].clear();
        m_latencies[1].clear();
        m_running = threads;
    }
    // Adds one thread's counts and latencies; true for the last thread to finish.
    bool add(const std::array<long, PAIRED_SLICES>& counts, std::array<std::vector<double>, 2>& latencies) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (int i = 0; i < PAIRED_SLICES; ++i) m_counts[i] += counts[i];
        for (int kind = 0; kind < 2; ++kind)
            m_latencies[kind].insert(m_latencies[kind].end(), latencies[kind].begin(), latencies[kind].end());
        return --m_running == 0;
    }
    // Decisions over posts in each pair of neighbouring slices (even slices decide, odd ones post); the median.
    double medianRatio() const {
        std::vector<double> ratios;
        for (int i = 0; i + 1 < PAIRED_SLICES; ++i) {
            long decisions = m_counts[i % 2 == 0 ? i : i + 1], posts = m_counts[i % 2 == 0 ? i + 1 : i];
            if (posts > 0) ratios.push_back(static_cast<double>(decisions) / static_cast<double>(posts));
        }
        return medianOf(ratios);
    }
    double p50(int kind) { return medianOf(m_latencies[kind]); }

private:
    std::mutex m_mutex;
    std::array<long, PAIRED_SLICES> m_counts{};
    std::array<std::vector<double>, 2> m_latencies;
    int m_running = 0;
};

void BM_PairedLoad(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    static PairedTally tally;
    DecisionPeer& peer = loadPeer();
    kova_test::Credentials creds(TYPICAL_CREDS);
    kova_test::AttrList context(TYPICAL_CONTEXT);
    kova_bench::RawPost raw(peer.url(), loadBody());
    if (state.thread_index() == 0) tally.reset(state.threads());
    std::array<long, PAIRED_SLICES> counts{};
    std::array<std::vector<double>, 2> latencies;  // decisions, posts
    for (auto _ : state) {
        Clock::time_point begin = Clock::now();
        for (;;) {
            Clock::time_point start = Clock::now();
            long slice = (start - begin) / PAIRED_SLICE;
            if (slice >= PAIRED_SLICES) break;
            bool deciding = slice % 2 == 0;
            bool done = deciding ? peer.decideWith(creds, context) == AZN_C_PERMITTED : raw.post();
            if (!done) {
                state.SkipWithError("exchange failed");
                break;
            }
            ++counts[slice];
            latencies[deciding ? 0 : 1].push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    if (!tally.add(counts, latencies)) return;
    state.counters["ratio"] = tally.medianRatio();
    state.counters["decision_p50_us"] = tally.p50(0);
    state.counters["floor_p50_us"] = tally.p50(1);
}
BENCHMARK(BM_PairedLoad)->Threads(1)->Threads(2)->Iterations(1)->UseRealTime();

// A whole decision whose credential carries n more attributes of one kind: 1 plain attributes, 2 groups.
void BM_LargeDecision(benchmark::State& state) {
    DecisionPeer& peer = loadPeer();
    Attributes creds = TYPICAL_CREDS;
    for (int i = 0; i < state.range(1); ++i) {
        std::string n = std::to_string(i);
        if (state.range(0) == 1) creds.emplace_back("scale-attribute-" + n, "value " + n);
        if (state.range(0) == 2)
            creds.emplace_back("AZN_CRED_GROUP_REGISTRY_IDS", "cn=g" + n + ",ou=groups,secAuthority=Default");
    }
    kova_test::Credentials credentials(creds);
    kova_test::AttrList context(TYPICAL_CONTEXT);
    for (auto _ : state)
        if (peer.decideWith(credentials, context) != AZN_C_PERMITTED) state.SkipWithError("decision failed");
}
BENCHMARK(BM_LargeDecision)
    ->ArgNames({"kind", "n"})
    ->ArgsProduct({{1, 2}, {2000, 20000}})
    ->Unit(benchmark::kMillisecond);

// A response as the PDP sends it, padded with status detail to `size` bytes.
std::string responseText(std::size_t size) {
    std::string head = "<Result ResourceId=\"/payroll/a\"><Decision>Permit</Decision><Status><StatusCode "
                       "Value=\"urn:oasis:names:tc:xacml:1.0:status:ok\"/><StatusDetail>";
    std::string tail = "</StatusDetail></Status><Obligations xmlns=\"urn:oasis:names:tc:xacml:2.0:policy:schema:os\">"
                       "<Obligation FulfillOn=\"Permit\" ObligationId=\"urn:kova:otp\"><AttributeAssignment "
                       "DataType=\"http://www.w3.org/2001/XMLSchema#string\" "
                       "AttributeId=\"urn:oxa:security:authentication:obligation.transactionId\">T-7f3a</"
                       "AttributeAssignment></Obligation></Obligations></Result>";
    std::string padding(size > head.size() + tail.size() ? size - head.size() - tail.size() : 0, 'x');
    return head + padding + tail;
}

void BM_ParseResponse(benchmark::State& state) {
    std::string text = responseText(static_cast<std::size_t>(state.range(0)));
    char* pieces[] = {text.data()};
    orbsec_axiscpp::AnyType any(pieces, 1);
    for (auto _ : state) {
        KOVAResponse response;
        response.parse(&any);
        benchmark::DoNotOptimize(response.getTransID());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseResponse)->Arg(0)->Arg(64 * 1024);

}  // namespace
