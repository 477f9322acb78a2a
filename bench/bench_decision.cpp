// One whole decision through the loaded plug-in against refpdp on loopback, beside a bare keep-alive POST
// of the very bytes that decision sent, in the same run; and response parsing, small and 64 KiB.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

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

// The plug-in started against a refpdp that records what it receives.
class DecisionPeer : public kova_test::DecisionFixture {
public:
    DecisionPeer() {
        SetUp();
        start();
    }
    ~DecisionPeer() override { TearDown(); }
    void TestBody() override {}

    int decideOnce() {
        return decide("/Corvane/inst1/permit/portal/index.html", TYPICAL_CREDS, TYPICAL_CONTEXT).permission;
    }
    std::string url() const { return pdp->url(); }
    std::string lastRequestBody() {
        kova_test::writeFile(dir.file("requests.xml"), "");
        decideOnce();
        std::string body = recorded();
        body.pop_back();   // the recorder's separator
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

// The bare keep-alive POST of one decision's bytes from 1 and 2 threads: the load the PDP link can carry
// without the plug-in, beside zemhost bench's decisions per second.
void BM_BarePostLoad(benchmark::State& state) {
    static DecisionPeer peer;
    static const std::string body = peer.lastRequestBody();
    kova_bench::BarePost bare(peer.url(), body);
    for (auto _ : state) {
        if (!bare.post()) state.SkipWithError("post failed");
    }
    state.counters["posts_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BarePostLoad)->Threads(1)->Threads(2)->UseRealTime()->MinTime(3.0);

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
