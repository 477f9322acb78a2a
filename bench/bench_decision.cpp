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
    pid_t pdpPid() const { return pdp->pid(); }
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
// of a ratio alike, where loops run one after the other each meet a different share of it. Reported:
// decisions/s over posts/s across all slices, the median over neighbouring slices of that ratio, the p50
// latency of each kind over the run,
// and for each kind the CPU per exchange of the request threads and of refpdp, exchanges per second, and the
// lowest and highest rate of its slices.
constexpr int PAIRED_SLICES = 24;
constexpr std::chrono::milliseconds PAIRED_SLICE{400};
enum PairedKind { DECIDING = 0, POSTING = 1 };

PairedKind kindOfSlice(long slice) { return slice % 2 == 0 ? DECIDING : POSTING; }

// What one thread saw: exchanges per slice, latencies and CPU time per kind.
struct PairedShare {
    std::array<long, PAIRED_SLICES> counts{};
    std::array<std::vector<double>, 2> latencies;
    std::array<double, 2> clientCpu{}, pdpCpu{};  // µs; refpdp's is taken by the first thread only
};

class PairedTally {
public:
    void reset(int threads) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sum = PairedShare{};
        m_running = threads;
    }
    // Adds one thread's share; true for the last thread to finish.
    bool add(const PairedShare& share) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (int i = 0; i < PAIRED_SLICES; ++i) m_sum.counts[i] += share.counts[i];
        for (int kind : {DECIDING, POSTING}) {
            m_sum.latencies[kind].insert(m_sum.latencies[kind].end(), share.latencies[kind].begin(),
                                         share.latencies[kind].end());
            m_sum.clientCpu[kind] += share.clientCpu[kind];
            m_sum.pdpCpu[kind] += share.pdpCpu[kind];
        }
        return --m_running == 0;
    }
    // Decisions over posts in each pair of neighbouring slices; the median.
    double medianRatio() const {
        std::vector<double> ratios;
        for (int i = 0; i + 1 < PAIRED_SLICES; ++i) {
            int deciding = kindOfSlice(i) == DECIDING ? i : i + 1, posting = deciding == i ? i + 1 : i;
            if (m_sum.counts[posting] > 0)
                ratios.push_back(static_cast<double>(m_sum.counts[deciding]) /
                                 static_cast<double>(m_sum.counts[posting]));
        }
        return medianOf(ratios);
    }
    double p50(PairedKind kind) { return medianOf(m_sum.latencies[kind]); }
    // The lowest and highest rate of one kind's slices, exchanges per second.
    std::pair<double, double> sliceRange(PairedKind kind) const {
        std::vector<long> counts;
        for (int i = kind; i < PAIRED_SLICES; i += 2) counts.push_back(m_sum.counts[i]);
        auto [low, high] = std::minmax_element(counts.begin(), counts.end());
        double seconds = std::chrono::duration<double>(PAIRED_SLICE).count();
        return {static_cast<double>(*low) / seconds, static_cast<double>(*high) / seconds};
    }
    long exchanges(PairedKind kind) const {
        long total = 0;
        for (int i = kind; i < PAIRED_SLICES; i += 2) total += m_sum.counts[i];
        return total;
    }
    double perSecond(PairedKind kind) const {
        return static_cast<double>(exchanges(kind)) /
               (PAIRED_SLICES / 2 * std::chrono::duration<double>(PAIRED_SLICE).count());
    }
    double clientCpuPerExchange(PairedKind kind) const { return perExchange(m_sum.clientCpu[kind], kind); }
    double pdpCpuPerExchange(PairedKind kind) const { return perExchange(m_sum.pdpCpu[kind], kind); }

private:
    double perExchange(double micros, PairedKind kind) const {
        long count = exchanges(kind);
        return count > 0 ? micros / static_cast<double>(count) : 0;
    }

    std::mutex m_mutex;
    PairedShare m_sum;
    int m_running = 0;
};

// Charges the CPU time since the last mark to the kind of the slice that just ended.
class PairedCpuMeter {
public:
    PairedCpuMeter(PairedShare& share, pid_t pdp) : m_share(share), m_pdp(pdp), m_last(now()) {}
    void charge(PairedKind kind) {
        Reading reading = now();
        m_share.clientCpu[kind] += reading.client - m_last.client;
        m_share.pdpCpu[kind] += reading.pdp - m_last.pdp;
        m_last = reading;
    }

private:
    struct Reading {
        double client, pdp;
    };
    Reading now() const { return {threadCpuMicros(), m_pdp > 0 ? kova_bench::processCpuMicros(m_pdp) : 0}; }

    PairedShare& m_share;
    pid_t m_pdp;
    Reading m_last;
};

void BM_PairedLoad(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    static PairedTally tally;
    DecisionPeer& peer = loadPeer();
    kova_test::Credentials creds(TYPICAL_CREDS);
    kova_test::AttrList context(TYPICAL_CONTEXT);
    kova_bench::RawPost raw(peer.url(), loadBody());
    if (state.thread_index() == 0) tally.reset(state.threads());
    PairedShare share;
    PairedCpuMeter meter(share, state.thread_index() == 0 ? peer.pdpPid() : -1);
    for (auto _ : state) {
        Clock::time_point begin = Clock::now();
        long current = 0;
        for (;;) {
            Clock::time_point start = Clock::now();
            long slice = (start - begin) / PAIRED_SLICE;
            if (slice != current) meter.charge(kindOfSlice(current));
            current = slice;
            if (slice >= PAIRED_SLICES) break;
            PairedKind kind = kindOfSlice(slice);
            bool done = kind == DECIDING ? peer.decideWith(creds, context) == AZN_C_PERMITTED : raw.post();
            if (!done) {
                state.SkipWithError("exchange failed");
                break;
            }
            ++share.counts[slice];
            share.latencies[kind].push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    if (!tally.add(share)) return;
    state.counters["ratio"] = tally.perSecond(DECIDING) / tally.perSecond(POSTING);
    state.counters["pair_median_ratio"] = tally.medianRatio();
    state.counters["decision_p50_us"] = tally.p50(DECIDING);
    state.counters["floor_p50_us"] = tally.p50(POSTING);
    state.counters["decision_per_s"] = tally.perSecond(DECIDING);
    state.counters["floor_per_s"] = tally.perSecond(POSTING);
    state.counters["decision_cpu_us"] = tally.clientCpuPerExchange(DECIDING);
    state.counters["floor_cpu_us"] = tally.clientCpuPerExchange(POSTING);
    state.counters["decision_pdp_cpu_us"] = tally.pdpCpuPerExchange(DECIDING);
    state.counters["floor_pdp_cpu_us"] = tally.pdpCpuPerExchange(POSTING);
    for (auto [kind, name] : {std::pair{DECIDING, "decision"}, std::pair{POSTING, "floor"}}) {
        auto [low, high] = tally.sliceRange(kind);
        state.counters[std::string(name) + "_slice_low_per_s"] = low;
        state.counters[std::string(name) + "_slice_high_per_s"] = high;
    }
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
