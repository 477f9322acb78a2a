#include <charconv>
#include <optional>

#include "nvwebrte/config_keys.h"
#include "nvwebrte/nvwebrte.h"
#include "nvwsoap/cluster_impl.h"
#include "orbsec_axiscpp/http_connection.h"

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

// "PRIORITY,URL"
bool parseServer(const std::string& text, ClusterSettings::Server& server, std::string& error) {
    size_t comma = text.find(',');
    if (comma == std::string::npos || !parseInt(trimmed(text.substr(0, comma)), server.priority)) {
        error = "server = " + text + ": not PRIORITY,URL";
        return false;
    }
    server.url = trimmed(text.substr(comma + 1));
    // Only URLs the SOAP connection and the health check read alike: any other would leave its endpoint
    // down for good after one failure, the health check probing somewhere else.
    orbsec_axiscpp::HttpTarget target;
    std::string problem = orbsec_axiscpp::parseHttpUrl(server.url, target);
    if (!problem.empty()) error = "server = " + text + ": the URL has " + problem;
    return problem.empty();
}

// The numeric keys; their ranges come from the configuration declaration.
struct NumberKey {
    const char* key;
    int ClusterSettings::*field;
    const char* unit;
};

constexpr NumberKey NUMBER_KEYS[] = {
    {"max-handles", &ClusterSettings::maxHandles, "handles"},
    {"handle-idle-timeout", &ClusterSettings::handleIdleTimeout, "seconds"},
    {"timeout", &ClusterSettings::timeout, "seconds"},
    {"health-check-interval", &ClusterSettings::healthCheckInterval, "seconds"},
    {"max-response-size", &ClusterSettings::maxResponseSize, "bytes"},
};

const zem::ConfigKey& declared(const char* key) { return *zem::findConfigKey("kova-eas", key); }

bool readNumber(const EntryReader& entries, const NumberKey& number, ClusterSettings& settings, std::string& error) {
    std::optional<std::string> text = entries.first(number.key);
    if (!text) return true;
    std::string problem = zem::valueProblem(declared(number.key), trimmed(*text));
    if (problem.empty() && parseInt(trimmed(*text), settings.*number.field)) return true;
    error = std::string(number.key) + " = " + *text + ": " + problem + " (" + number.unit + ")";
    return false;
}

bool readBool(const EntryReader& entries, const char* key, bool& value, std::string& error) {
    std::optional<std::string> text = entries.first(key);
    if (!text) return true;
    std::string problem = zem::valueProblem(declared(key), *text);
    int parsed = 0;
    if (problem.empty() && nvw_util_unmarshal_bool(text->c_str(), &parsed) == 0) {
        value = parsed != 0;
        return true;
    }
    error = std::string(key) + " = " + *text + ": " + problem;
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
