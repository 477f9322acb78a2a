// Request building and configuration lookups, with heap allocations counted per iteration.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "rba/KOVAConfig.h"
#include "rba/KOVAData.h"
#include "rba/KOVARequest.h"
#include "support/test_support.h"

// Every allocation of the binary goes through these, so a benchmark can report its own count. Kept
// out of line so that callers see a plain operator new, not the malloc behind it.
static std::atomic<long> g_allocations{0};

[[gnu::noinline]] void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
[[gnu::noinline]] void* operator new[](std::size_t size) { return operator new(size); }
[[gnu::noinline]] void operator delete(void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete[](void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace {

constexpr int TABLE_SIZE = 1000;

// Loads the tables once: the request's mappings plus TABLE_SIZE entries in each stanza.
KOVAConfig& benchConfig() {
    static kova_test::TempDir dir;
    static std::unique_ptr<KOVAConfig> config = [] {
        std::string decision = "[azn-decision-info]\nreferer = header:Referer\ncookie = header:Cookie\n"
                               "forwarded = header:X-Forwarded-For\norigin = header:Origin\n"
                               "connection = header:Connection\ncache = header:Cache-Control\n"
                               "content-type = header:Content-Type\nlength = header:Content-Length\n"
                               "language = header:X-Language\n";
        std::string levels = "[obligations-levels-mapping]\notp = 2\n";
        std::string urls = "[obligations-urls-mapping]\n";
        std::string definitions = "[user-attribute-definitions]\nreferer.category = Resource\n"
                                  "length.datatype = integer\norigin.category = Subject\n";
        for (int i = 0; i < TABLE_SIZE; ++i) {
            std::string n = std::to_string(i);
            decision += "app-key-" + n + " = header:H-" + n + "\n";
            levels += "obligation-" + n + " = " + std::to_string(i + 10) + "\n";
            urls += "obligation-" + n + " = https://portal.example/step/" + n + "\n";
            urls += "wild-" + n + "* = https://portal.example/wild/" + n + "\n";
            definitions += "urn:example:attribute:" + n + ".datatype = integer\n";
        }
        std::string path = dir.file("webseald.conf");
        kova_test::writeFile(path, decision + "\n" + levels + "\n" + urls + "\n" + definitions);
        return std::make_unique<KOVAConfig>(path.c_str());
    }();
    kova_config = config.get();
    return *config;
}

KOVAData typicalData() {
    KOVAData data;
    data.HTTPInfo = {
        {"header:Host", "www.example.com"},
        {"method", "GET"},
        {"client_ip", "198.51.100.23"},
        {"uri", "/portal/accounts/summary?view=full"},
        {"scheme", "https"},
        {"header:Accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"},
        {"header:Accept-Encoding", "gzip, deflate, br"},
        {"header:Accept-Language", "en-GB,en;q=0.7,fr;q=0.3"},
        {"header:Accept-Charset", "utf-8"},
        {"header:User-Agent", "Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0"},
        {"cookie:ac.uuid", "6f1c2a9e-51d3-4b1e-9a55-0c2d6b7e8f90"},
        {"header:Referer", "https://www.example.com/portal/home?tab=1&lang=en"},
        {"header:Cookie", "session=abc123; theme=dark"},
        {"header:X-Forwarded-For", "203.0.113.7"},
        {"header:Origin", "https://www.example.com"},
        {"header:Connection", "keep-alive"},
        {"header:Cache-Control", "no-cache"},
        {"header:Content-Type", "text/plain; charset=utf-8"},
        {"header:Content-Length", "0"},
        {"header:X-Language", "en"},
    };
    data.creds = {
        {"AZN_CRED_PRINCIPAL_NAME", "alice.jones"},
        {"AZN_CRED_NETWORK_ADDRESS_STR", "198.51.100.23"},
        {"AUTHENTICATION_LEVEL", "2"},
        {"AZN_CRED_AUTH_METHOD", "password"},
        {"AZN_CRED_AUTHNMECH_INFO", "LDAP Authentication"},
        {"AZN_CRED_QOP_INFO", "SSK: TLSV12: 9C"},
        {"AZN_CRED_REGISTRY_ID", "cn=alice.jones,ou=people,secAuthority=Default"},
        {"authenticationTypes", "password, otp"},
        {"tagguid", "0c9d2e4a-7f"},
        {"AZN_CRED_GROUP_REGISTRY_IDS", "cn=staff,ou=groups,secAuthority=Default"},
        {"AZN_CRED_GROUP_REGISTRY_IDS", "cn=finance,ou=groups,secAuthority=Default"},
        {"AZN_CRED_GROUP_REGISTRY_IDS", "cn=vpn-users,ou=groups,secAuthority=Default"},
        {"AZN_CRED_GROUP_REGISTRY_IDS", "cn=portal-users,ou=groups,secAuthority=Default"},
        {"AZN_CRED_GROUP_REGISTRY_IDS", "cn=reporting,ou=groups,secAuthority=Default"},
        {"AZN_CRED_GROUPS", "staff"},
    };
    return data;
}

KOVAData largeData() {
    KOVAData data = typicalData();
    for (int i = 0; i < 180; ++i) {
        data.HTTPInfo.emplace_back("header:X-Custom-" + std::to_string(i), "value " + std::to_string(i) + " <&>");
    }
    for (int i = 0; i < 495; ++i) {
        data.creds.emplace_back("AZN_CRED_GROUP_REGISTRY_IDS",
                                "cn=group-" + std::to_string(i) + ",ou=groups,secAuthority=Default");
    }
    return data;
}

void buildRequests(benchmark::State& state, const KOVAData& data) {
    benchConfig();
    long before = g_allocations.load();
    for (auto _ : state) {
        KOVARequest request("urn:example:policy:portal", "10.0.0.7", "proxy-01.example.com", "/portal/accounts/summary",
                            "read", "/portal");
        benchmark::DoNotOptimize(request.formatRequest(data, nullptr, 1, 0));
        benchmark::DoNotOptimize(request.getRequestFragments());
    }
    state.counters["allocations"] =
        benchmark::Counter(static_cast<double>(g_allocations.load() - before), benchmark::Counter::kAvgIterations);
}

void BM_TypicalRequest(benchmark::State& state) { buildRequests(state, typicalData()); }
BENCHMARK(BM_TypicalRequest);

void BM_LargeRequest(benchmark::State& state) { buildRequests(state, largeData()); }
BENCHMARK(BM_LargeRequest);

void BM_ReplaceSpecialXMLChars1KiB(benchmark::State& state) {
    std::string input;
    while (input.size() < 1024) input += "user=\"J. O'Neil\" <jo@example.com> & co; caf\xC3\xA9 ";
    input.resize(1024);
    KOVARequest request("ctx", "1", "srv", "/", "read", "");
    std::string output;
    for (auto _ : state) {
        request.replaceSpecialXMLChars(input.c_str(), output);
        benchmark::DoNotOptimize(output.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1024);
}
BENCHMARK(BM_ReplaceSpecialXMLChars1KiB);

// A key in the middle of each 1,000-entry table.
void BM_LookupHeaderName(benchmark::State& state) {
    KOVAConfig& config = benchConfig();
    const std::string key = "app-key-500";
    for (auto _ : state) benchmark::DoNotOptimize(&config.getHeaderName(key));
}
BENCHMARK(BM_LookupHeaderName);

void BM_LookupAppContextKey(benchmark::State& state) {
    KOVAConfig& config = benchConfig();
    const std::string header = "header:H-500";
    std::string key;
    for (auto _ : state) benchmark::DoNotOptimize(config.getAppContextKey(header, key));
}
BENCHMARK(BM_LookupAppContextKey);

void BM_LookupAuthenticationLevel(benchmark::State& state) {
    KOVAConfig& config = benchConfig();
    const std::string obligation = "obligation-500";
    for (auto _ : state) benchmark::DoNotOptimize(config.getAuthenticationLevel(obligation));
}
BENCHMARK(BM_LookupAuthenticationLevel);

void BM_LookupExactObligationURL(benchmark::State& state) {
    KOVAConfig& config = benchConfig();
    std::string url;
    for (auto _ : state) benchmark::DoNotOptimize(config.getObligationURL("obligation-500", url));
}
BENCHMARK(BM_LookupExactObligationURL);

// One obligation among 1,000 wildcard prefixes (each a prefix of none of the others).
void BM_LookupWildcardObligationURL(benchmark::State& state) {
    KOVAConfig& config = benchConfig();
    std::string url;
    for (auto _ : state) benchmark::DoNotOptimize(config.getObligationURL("wild-500-step", url));
}
BENCHMARK(BM_LookupWildcardObligationURL);

void BM_LookupAttrDataType(benchmark::State& state) {
    KOVAConfig& config = benchConfig();
    const std::string attribute = "urn:example:attribute:500";
    std::string dataType;
    for (auto _ : state) benchmark::DoNotOptimize(config.getAttrDataType(attribute, dataType));
}
BENCHMARK(BM_LookupAttrDataType);

}  // namespace

namespace {

// The typical request with N more items of one kind: 0 HTTP items, 1 credential attributes, 2 groups.
KOVAData scaledData(int kind, int count) {
    KOVAData data = typicalData();
    for (int i = 0; i < count; ++i) {
        std::string n = std::to_string(i);
        if (kind == 0) data.HTTPInfo.emplace_back("header:X-Scale-" + n, "value " + n);
        if (kind == 1) data.creds.emplace_back("scale-attribute-" + n, "value " + n);
        if (kind == 2)
            data.creds.emplace_back("AZN_CRED_GROUP_REGISTRY_IDS", "cn=g" + n + ",ou=groups,secAuthority=Default");
    }
    return data;
}

void BM_RequestScaling(benchmark::State& state) {
    buildRequests(state, scaledData(static_cast<int>(state.range(0)), static_cast<int>(state.range(1))));
    state.SetComplexityN(state.range(1));
}
BENCHMARK(BM_RequestScaling)->ArgNames({"kind", "n"})->ArgsProduct({{0, 1, 2}, {10, 100, 1000, 20000}});

}  // namespace
