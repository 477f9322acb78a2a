#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <optional>

#include "nvwebrte/nvwebrte.h"
#include "nvwsoap/cluster_impl.h"

namespace {

// The entries of the caller's stanza, read through the caller's own loader.
class EntryReader {
public:
    explicit EntryReader(const nvw_soap_config_interface_t& config) : m_config(config) {}

    std::vector<std::string> all(const char* key) const {
        char** values = nullptr;
        std::vector<std::string> texts;
        if (m_config.ops->loadEntry(m_config.configFile, m_config.stanza, nullptr, key, &values, 1) && values) {
            for (char** value = values; *value; ++value) texts.emplace_back(*value);
            m_config.ops->releaseEntry(values);
        }
        return texts;
    }

    std::optional<std::string> first(const char* key) const {
        std::vector<std::string> texts = all(key);
        if (texts.empty()) return std::nullopt;
        return texts.front();
    }

private:
    const nvw_soap_config_interface_t& m_config;
};

std::string trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool parseInt(const std::string& text, int& value) {
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && stop == end && !text.empty();
}

// Length of "http://" or "https://" at the start of `url` (any case), else 0.
size_t schemeLength(const std::string& url) {
    for (const char* scheme : {"http://", "https://"}) {
        size_t length = std::strlen(scheme);
        if (url.size() > length && strncasecmp(url.c_str(), scheme, length) == 0) return length;
    }
    return 0;
}

bool isHostNameCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
}

// "" when `port` is a decimal port number as both readers take it, else why not.
std::string portProblem(const std::string& port) {
    if (port.empty()) return "an empty port";
    if (port.find_first_not_of("0123456789") != std::string::npos) return "a port that is not a decimal number";
    if (port.front() == '0') return "a port with a leading zero";
    int value = 0;
    if (port.size() > 5 || !parseInt(port, value) || value > 65535) return "a port above 65535";
    return "";
}

// "" when the host and port part (between "//" and the path) reads the same to both readers, else why not.
std::string authorityProblem(const std::string& authority) {
    if (authority.find('@') != std::string::npos)
        return "user information in the URL (credentials go in basic-auth-user and basic-auth-passwd)";
    size_t portStart = std::string::npos;
    if (!authority.empty() && authority.front() == '[') {
        size_t closing = authority.find(']');
        in6_addr address;
        bool ipv6 = closing != std::string::npos &&
                    inet_pton(AF_INET6, authority.substr(1, closing - 1).c_str(), &address) == 1;
        if (!ipv6)
            return "a bracketed host that is not an IPv6 address (zone ids are not taken)";
        if (closing + 1 < authority.size() && authority[closing + 1] != ':') return "text after the IPv6 address";
        if (closing + 1 < authority.size()) portStart = closing + 2;
    } else {
        size_t colon = authority.find(':');
        std::string host = authority.substr(0, colon);
        if (host.empty()) return "no host";
        if (!std::all_of(host.begin(), host.end(), isHostNameCharacter))
            return "a host that is not a name or address (an IPv6 address goes in brackets)";
        if (colon != std::string::npos) portStart = colon + 1;
    }
    return portStart == std::string::npos ? "" : portProblem(authority.substr(portStart));
}

// "" when libcurl (the exchange) and the health check's own parser (scheme://host[:port]/path, sent
// verbatim from the path on) reach the same host and port and ask for the same path, else why not.
std::string urlProblem(const std::string& url) {
    size_t scheme = schemeLength(url);
    if (scheme == 0) return "not an http or https URL";
    if (std::any_of(url.begin(), url.end(), [](char c) { return c <= ' ' || c >= 0x7f; }))
        return "a space, control character or non-ASCII byte (percent-encode them)";
    if (url.find_first_of("#\\") != std::string::npos) return "a fragment or a backslash";
    size_t path = url.find_first_of("/?", scheme);
    if (path == std::string::npos || url[path] != '/') return "no path after the host";
    return authorityProblem(url.substr(scheme, path - scheme));
}

// "PRIORITY,URL"
bool parseServer(const std::string& text, ClusterSettings::Server& server, std::string& error) {
    size_t comma = text.find(',');
    if (comma == std::string::npos || !parseInt(trimmed(text.substr(0, comma)), server.priority)) {
        error = "server = " + text + ": not PRIORITY,URL";
        return false;
    }
    server.url = trimmed(text.substr(comma + 1));
    std::string problem = urlProblem(server.url);
    if (!problem.empty()) error = "server = " + text + ": the URL has " + problem;
    return problem.empty();
}

// The numeric keys, each with the range an administrator can give it.
struct NumberKey {
    const char* key;
    int ClusterSettings::*field;
    int minimum;
    int maximum;
    const char* unit;
};

constexpr NumberKey NUMBER_KEYS[] = {
    {"max-handles", &ClusterSettings::maxHandles, 1, 1024, "handles"},
    {"handle-idle-timeout", &ClusterSettings::handleIdleTimeout, 0, 86400, "seconds"},
    {"timeout", &ClusterSettings::timeout, 1, 3600, "seconds"},
    {"health-check-interval", &ClusterSettings::healthCheckInterval, 0, 86400, "seconds"},
    {"max-response-size", &ClusterSettings::maxResponseSize, 1024, 64 * 1024 * 1024, "bytes"},
};

bool readNumber(const EntryReader& entries, const NumberKey& number, ClusterSettings& settings, std::string& error) {
    std::optional<std::string> text = entries.first(number.key);
    if (!text) return true;
    int value = 0;
    if (parseInt(trimmed(*text), value) && value >= number.minimum && value <= number.maximum) {
        settings.*number.field = value;
        return true;
    }
    error = std::string(number.key) + " = " + *text + ": not a whole number from " + std::to_string(number.minimum) +
            " to " + std::to_string(number.maximum) + " (" + number.unit + ")";
    return false;
}

bool readBool(const EntryReader& entries, const char* key, bool& value, std::string& error) {
    std::optional<std::string> text = entries.first(key);
    int parsed = 0;
    if (!text) return true;
    if (nvw_util_unmarshal_bool(text->c_str(), &parsed) == 0) {
        value = parsed != 0;
        return true;
    }
    error = std::string(key) + " = " + *text + ": not yes or no";
    return false;
}

void readText(const EntryReader& entries, const char* key, std::string& value) {
    value = entries.first(key).value_or("");
}

}  // namespace

int readClusterSettings(const nvw_soap_config_interface_t& config, ClusterSettings& settings, std::string& error) {
    EntryReader entries(config);
    for (const std::string& text : entries.all("server")) {
        ClusterSettings::Server server;
        if (!parseServer(text, server, error)) return NVWSOAP_S_BAD_SERVER;
        settings.servers.push_back(server);
    }
    if (settings.servers.empty()) {
        error = "no server entry";
        return NVWSOAP_S_NO_SERVER;
    }
    for (const NumberKey& number : NUMBER_KEYS)
        if (!readNumber(entries, number, settings, error)) return NVWSOAP_S_BAD_SETTING;
    if (!readBool(entries, "ssl-verify-peer", settings.verifyPeer, error)) return NVWSOAP_S_BAD_SETTING;
    readText(entries, "ssl-ca-file", settings.caFile);
    readText(entries, "ssl-cert-file", settings.certFile);
    readText(entries, "ssl-key-file", settings.keyFile);
    readText(entries, "basic-auth-user", settings.basicAuthUser);
    readText(entries, "basic-auth-passwd", settings.basicAuthPassword);
    return 0;
}
