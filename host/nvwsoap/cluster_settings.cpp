#include <strings.h>

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

bool hasHttpScheme(const std::string& url) {
    for (const char* scheme : {"http://", "https://"}) {
        size_t length = std::strlen(scheme);
        if (url.size() > length && strncasecmp(url.c_str(), scheme, length) == 0) return true;
    }
    return false;
}

// "PRIORITY,URL"
bool parseServer(const std::string& text, ClusterSettings::Server& server) {
    size_t comma = text.find(',');
    if (comma == std::string::npos) return false;
    server.url = trimmed(text.substr(comma + 1));
    return parseInt(trimmed(text.substr(0, comma)), server.priority) && hasHttpScheme(server.url);
}

bool readNumber(const EntryReader& entries, const char* key, int minimum, int& value, std::string& error) {
    std::optional<std::string> text = entries.first(key);
    if (!text) return true;
    if (parseInt(*text, value) && value >= minimum) return true;
    error = std::string(key) + " = " + *text + ": not a whole number of at least " + std::to_string(minimum);
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
        if (!parseServer(text, server)) {
            error = "server = " + text + ": not PRIORITY,URL with an http or https URL";
            return NVWSOAP_S_BAD_SERVER;
        }
        settings.servers.push_back(server);
    }
    if (settings.servers.empty()) {
        error = "no server entry";
        return NVWSOAP_S_NO_SERVER;
    }
    bool valid = readNumber(entries, "max-handles", 1, settings.maxHandles, error) &&
                 readNumber(entries, "handle-idle-timeout", 0, settings.handleIdleTimeout, error) &&
                 readNumber(entries, "timeout", 1, settings.timeout, error) &&
                 readNumber(entries, "health-check-interval", 0, settings.healthCheckInterval, error) &&
                 readBool(entries, "ssl-verify-peer", settings.verifyPeer, error);
    if (!valid) return NVWSOAP_S_BAD_SETTING;
    readText(entries, "ssl-ca-file", settings.caFile);
    readText(entries, "ssl-cert-file", settings.certFile);
    readText(entries, "ssl-key-file", settings.keyFile);
    readText(entries, "basic-auth-user", settings.basicAuthUser);
    readText(entries, "basic-auth-passwd", settings.basicAuthPassword);
    return 0;
}
