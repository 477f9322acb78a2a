// The health check's URL parsing over arbitrary URLs, on a plain and on an SSL handle, and its host and
// port split over arbitrary bytes. The handle may change only the default port (80 or 443); a path
// found is the URL's own text from a slash on.
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "rba/KOVASOAPCall.h"

namespace {

struct ParsedURL {
    int result = 0;
    std::string host;
    uint32_t port = 0;
    const char* path = nullptr;
};

ParsedURL parse(const char* url, bool useSSL) {
    NVWSOAPHandleConfig config;
    config.m_useSSL = useSSL;
    NVWSOAPHandle handle(nullptr, &config);
    KOVAPingCall call("ping", true, nullptr, &kova_trace);
    ParsedURL parsed;
    parsed.result = call.parseURL(&handle, url, parsed.host, parsed.port, parsed.path);
    return parsed;
}

void checkParse(const std::string& url) {
    ParsedURL plain = parse(url.c_str(), false);
    ParsedURL secure = parse(url.c_str(), true);
    if (plain.result != 0 && plain.result != static_cast<int>(KOVA_PING_BAD_URL))
        kova_fuzz::broken("parseURL gave an unknown result", url);
    if (plain.result != secure.result) kova_fuzz::broken("SSL changed whether the URL parses", url);
    if (plain.result != 0) return;
    if (plain.host != secure.host || plain.path != secure.path) kova_fuzz::broken("SSL changed host or path", url);
    bool defaulted = plain.port == 80 && secure.port == 443;
    if (plain.port != secure.port && !defaulted) kova_fuzz::broken("SSL changed an explicit port", url);
    const char* end = url.c_str() + url.size();
    if (plain.path < url.c_str() || plain.path >= end || *plain.path != '/')
        kova_fuzz::broken("path is not the URL's own text from a slash", url);
}

void checkHostAndPort(const std::string& hostAndPort) {
    KOVAPingCall call("ping", true, nullptr, &kova_trace);
    for (bool useSSL : {false, true}) {
        std::string host;
        uint32_t port = 0;
        int result = call.extractHostAndPort(hostAndPort, useSSL, host, port);
        if (result == 0 && host.size() > hostAndPort.size())
            kova_fuzz::broken("host longer than the text it came from", hostAndPort);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kova_fuzz::quietHost();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    checkParse(std::string(bytes.c_str()));
    checkHostAndPort(bytes);
    return 0;
}
