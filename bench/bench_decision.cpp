// One whole decision through the loaded plug-in against refpdp on loopback, beside a bare keep-alive POST
// of the very bytes that decision sent, in the same run; and response parsing, small and 64 KiB.
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <memory>
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
    auto middle = latencies.begin() + static_cast<long>(latencies.size() / 2);
    std::nth_element(latencies.begin(), middle, latencies.end());
    double p50 = latencies.empty() ? 0 : *middle;
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
