// The cost of the SOAP transport against refpdp on loopback:
//  - one EvaluateXACML exchange through the stub, and a bare libcurl keep-alive POST of the very same
//    bytes to the same server in the same run (separately and interleaved, with their ratio);
//  - 1,000 sequential decisions through one pooled handle, with the connections refpdp accepted.
#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "rba/KOVASOAPCall.h"
#include "rba/stub/AuthzService.h"
#include "transport/transport_support.h"

using orbsec_axiscpp::AnyType;
using namespace kova_test;
using kova_bench::BarePost;

namespace {

// A request of the size and shape the plug-in sends: two subjects, resource, action, environment.
std::string attribute(const std::string& id, const std::string& value) {
    return "<ns1:Attribute AttributeId=\"" + id +
           "\" DataType=\"http://www.w3.org/2001/XMLSchema#string\">"
           "<ns1:AttributeValue>" +
           value + "</ns1:AttributeValue></ns1:Attribute>";
}

class TypicalRequest {
public:
    TypicalRequest() {
        const std::string audit = "http://audit.kova.example/audit/";
        m_texts = {"<ns1:Subject SubjectCategory=\"urn:oasis:names:tc:xacml:1.0:subject-category:requesting-machine\">",
                   attribute("urn:oasis:names:tc:xacml:1.0:subject:subject-id", "Corvane Client@ srv1") +
                       attribute(audit + "componentIdType", "Application") +
                       attribute(audit + "componentType", "Application Enforcement Point") +
                       attribute(audit + "component", "Corvane Client") +
                       attribute(audit + "executionEnvironment", "srv1#[6.1]"),
                   "</ns1:Subject><ns1:Subject "
                   "SubjectCategory=\"urn:oasis:names:tc:xacml:1.0:subject-category:access-subject\">",
                   attribute("urn:oxa:security:subject:username", "alice") +
                       attribute("urn:oxa:security:subject:authenticationLevel", "1") +
                       attribute("urn:oxa:security:subject:groups", "staff") +
                       attribute("urn:oxa:security:subject:ipAddress", "192.0.2.10") +
                       attribute("urn:oasis:names:tc:xacml:1.0:subject:subject-id", "cn=alice,o=example,c=us"),
                   "</ns1:Subject><ns1:Resource>",
                   attribute("urn:oasis:names:tc:xacml:1.0:resource:resource-id", "/permit/app/index.html") +
                       attribute("urn:oxa:security:resource:inherited-resource-id", ""),
                   "</ns1:Resource><ns1:Action>",
                   attribute("urn:oasis:names:tc:xacml:1.0:action:action-id", "GET"),
                   "</ns1:Action><ns1:Environment>",
                   attribute("ContextId", "context-default") +
                       attribute("urn:oxa:security:environment:http:host", "www.example.com") +
                       attribute("urn:oxa:security:environment:http:userAgent", "Mozilla/5.0 (X11; Linux x86_64)") +
                       attribute("urn:oxa:security:environment:http:accept", "text/html,application/xhtml+xml"),
                   "</ns1:Environment>"};
        for (std::string& text : m_texts) m_pointers.push_back(text.data());
        m_any = AnyType(m_pointers.data(), static_cast<int>(m_pointers.size()));
    }
    AnyType* any() { return &m_any; }

private:
    std::vector<std::string> m_texts;
    std::vector<char*> m_pointers;
    AnyType m_any;
};

// The exact bytes the stub posts, as a recording refpdp received them.
std::string stubRequestBytes() {
    TempDir dir;
    RefPdp recorder({"--record", dir.file("request.xml")});
    TypicalRequest request;
    AuthzService stub(recorder.url().c_str(), orbsec_axiscpp::APTHTTP1_1);
    takeJoined(stub.EvaluateXACML(request.any()));
    std::string recorded = readFile(dir.file("request.xml"));
    recorded.pop_back();  // the recorder's separator
    return recorded;
}

// One refpdp for the exchange benchmarks, answering a Permit with an obligation and a transaction id.
struct Peer {
    TempDir dir;
    std::unique_ptr<RefPdp> pdp;
    Peer() {
        writeFile(dir.file("rules.json"), TRANSPORT_RULES);
        pdp = std::make_unique<RefPdp>(std::vector<std::string>{"--rules", dir.file("rules.json")});
    }
};

Peer& peer() {
    static Peer shared;
    return shared;
}

bool stubExchange(AuthzService& stub, TypicalRequest& request) {
    AnyType* response = stub.EvaluateXACML(request.any());
    if (!response) return false;
    benchmark::DoNotOptimize(takeJoined(response));
    return true;
}

void BM_StubExchange(benchmark::State& state) {
    AuthzService stub(peer().pdp->url().c_str(), orbsec_axiscpp::APTHTTP1_1);
    TypicalRequest request;
    for (auto _ : state)
        if (!stubExchange(stub, request)) state.SkipWithError("exchange failed");
}
BENCHMARK(BM_StubExchange)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

void BM_BareCurlPost(benchmark::State& state) {
    BarePost bare(peer().pdp->url(), stubRequestBytes());
    for (auto _ : state)
        if (!bare.post()) state.SkipWithError("post failed");
}
BENCHMARK(BM_BareCurlPost)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

// Both in turn, each going first every other round, so that load from elsewhere on the machine and the
// order of the two weigh on both alike. Also reported: the client's CPU time per exchange, which such
// load does not distort.
template <typename Exchange>
bool timed(Exchange exchange, std::chrono::steady_clock::duration& wall, std::clock_t& cpu) {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::clock_t cpuStart = std::clock();
    bool ok = exchange();
    cpu += std::clock() - cpuStart;
    wall += std::chrono::steady_clock::now() - start;
    return ok;
}

void BM_StubVersusBareInterleaved(benchmark::State& state) {
    AuthzService stub(peer().pdp->url().c_str(), orbsec_axiscpp::APTHTTP1_1);
    TypicalRequest request;
    BarePost bare(peer().pdp->url(), stubRequestBytes());
    std::chrono::steady_clock::duration stubTime{}, bareTime{};
    std::clock_t stubCpu = 0, bareCpu = 0;
    bool stubFirst = true;
    for (auto _ : state) {
        auto runStub = [&] { return timed([&] { return stubExchange(stub, request); }, stubTime, stubCpu); };
        auto runBare = [&] { return timed([&] { return bare.post(); }, bareTime, bareCpu); };
        bool ok = stubFirst ? runStub() && runBare() : runBare() && runStub();
        stubFirst = !stubFirst;
        if (!ok) state.SkipWithError("exchange failed");
    }
    double iterations = static_cast<double>(state.iterations());
    auto micros = [&](std::chrono::steady_clock::duration total) {
        return std::chrono::duration<double, std::micro>(total).count() / iterations;
    };
    auto cpuMicros = [&](std::clock_t total) { return 1e6 * static_cast<double>(total) / CLOCKS_PER_SEC / iterations; };
    state.counters["stub_us"] = micros(stubTime);
    state.counters["bare_us"] = micros(bareTime);
    state.counters["ratio"] = micros(stubTime) / micros(bareTime);
    state.counters["stub_cpu_us"] = cpuMicros(stubCpu);
    state.counters["bare_cpu_us"] = cpuMicros(bareCpu);
}
BENCHMARK(BM_StubVersusBareInterleaved)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// 1,000 decisions in a row through a cluster of one handle; refpdp must see a single connection.
void BM_ThousandDecisionsThroughOnePooledHandle(benchmark::State& state) {
    constexpr int DECISIONS = 1000;
    TempDir dir;
    writeFile(dir.file("rules.json"), TRANSPORT_RULES);
    RefPdp pdp({"--rules", dir.file("rules.json")});
    PdpStatsReader stats(pdp);
    KOVAServiceFactory factory;
    ClusterUnderTest target(factory, dir, "server = 10," + pdp.url() + "\nmax-handles = 1\n");
    TypicalRequest request;
    for (auto _ : state) {
        for (int i = 0; i < DECISIONS; ++i) {
            KOVAServiceCall call("EvaluateKOVARequest", true, nullptr, nullptr);
            BorrowedHandle handle;
            AnyType* response = nullptr;
            if (call.execute(target.cluster, &handle.ref, nullptr, request.any(), &response) != 0 || !response) {
                state.SkipWithError("decision failed");
                break;
            }
            takeJoined(response);
        }
    }
    PdpStats seen = stats.read();
    state.counters["decisions"] = static_cast<double>(seen.requests);
    state.counters["refpdp_connections"] = static_cast<double>(seen.connections);
}
BENCHMARK(BM_ThousandDecisionsThroughOnePooledHandle)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
