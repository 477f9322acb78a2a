#include "serve_settings.h"

#include <arpa/inet.h>

#include <cctype>
#include <charconv>
#include <cstring>
#include <string_view>

#include "nvwebrte/config_keys.h"

namespace zemhost {

const char* const SERVE_STANZA = "zemhost-serve";

namespace {

const char* const DEFAULT_METHOD_OPERATIONS = "GET=r, HEAD=r, OPTIONS=r, POST=w, PUT=w, PATCH=w, DELETE=w";
const char* const DEFAULT_TRUSTED_PROXIES = "127.0.0.0/8, ::1/128";

struct Limits {
    int minimum;
    int maximum;
};

// IPv4 addresses become IPv4-mapped IPv6 addresses, so one comparison serves both.
bool parseAddress(const std::string& text, std::array<unsigned char, 16>& bytes, bool& isV4) {
    in_addr v4{};
    isV4 = inet_pton(AF_INET, text.c_str(), &v4) == 1;
    if (isV4) {
        bytes = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        std::memcpy(bytes.data() + 12, &v4, 4);
        return true;
    }
    return inet_pton(AF_INET6, text.c_str(), bytes.data()) == 1;
}

bool parseNumber(const std::string& text, int& value, Limits limits) {
    int parsed = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc() || end != text.data() + text.size()) return false;
    if (parsed < limits.minimum || parsed > limits.maximum) return false;
    value = parsed;
    return true;
}

bool parseBlock(const std::string& text, AddressBlock& block) {
    std::size_t slash = text.find('/');
    bool isV4 = false;
    if (!parseAddress(text.substr(0, slash), block.bytes, isV4)) return false;
    int maximum = isV4 ? 32 : 128;
    block.prefixBits = maximum;
    if (slash != std::string::npos && !parseNumber(text.substr(slash + 1), block.prefixBits, {0, maximum}))
        return false;
    if (isV4) block.prefixBits += 96;
    return true;
}

// A header name as HTTP allows it: letters, digits and the token punctuation.
bool isHeaderName(const std::string& text) {
    if (text.empty() || text.size() > 128) return false;
    for (unsigned char c : text) {
        if (!std::isalnum(c) && std::string_view("!#$%&'*+-.^_`|~").find(char(c)) == std::string_view::npos)
            return false;
    }
    return true;
}

class StanzaReader {
public:
    StanzaReader(const ConfigReader& config, std::vector<std::string>& problems)
        : m_config(config), m_problems(problems) {}

    std::string text(const char* key, const std::string& fallback) const {
        std::vector<std::string> values = m_config.values(SERVE_STANZA, key);
        return values.empty() ? fallback : values.front();
    }

    // The range is the configuration declaration's.
    void number(const char* key, int& target) const {
        const zem::ConfigKey& declared = *zem::findConfigKey(SERVE_STANZA, key);
        Limits limits{static_cast<int>(declared.minimum), static_cast<int>(declared.maximum)};
        std::string value = text(key, "");
        if (!value.empty() && !parseNumber(value, target, limits)) {
            problem(key, value,
                    "a whole number from " + std::to_string(limits.minimum) + " to " + std::to_string(limits.maximum));
        }
    }

    void headerName(const char* key, std::string& target) const {
        std::string value = text(key, target);
        if (isHeaderName(value)) {
            target = value;
        } else {
            problem(key, value, "a header name");
        }
    }

    template <typename Choice>
    void choice(const char* key, const std::string& value, Choice& target,
                const std::vector<std::pair<const char*, Choice>>& choices) const {
        if (value.empty()) return;
        for (const auto& [word, chosen] : choices) {
            if (value == word) {
                target = chosen;
                return;
            }
        }
        std::string words;
        for (const auto& option : choices) words += (words.empty() ? "" : " or ") + std::string(option.first);
        problem(key, value, words);
    }

    void problem(const char* key, const std::string& value, const std::string& expected) const {
        m_problems.push_back("[" + std::string(SERVE_STANZA) + "] " + key + " = " + value + ": expected " + expected);
    }

private:
    const ConfigReader& m_config;
    std::vector<std::string>& m_problems;
};

bool isMethodToken(const std::string& text) {
    return !text.empty() && text.size() <= 32 &&
           text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos;
}

void readMethodOperations(const StanzaReader& reader, ServeSettings& settings) {
    std::string value = reader.text("method-operations", DEFAULT_METHOD_OPERATIONS);
    for (const std::string& item : commaList(value)) {
        std::size_t equals = item.find('=');
        std::string method = trimmed(item.substr(0, equals));
        std::string operation = equals == std::string::npos ? "" : trimmed(item.substr(equals + 1));
        if (!isMethodToken(method) || operation.empty() ||
            operation.find_first_not_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos) {
            reader.problem("method-operations", value, "METHOD=letters, comma separated (e.g. GET=r, POST=w)");
            return;
        }
        settings.methodOperations[method] = operation;
    }
}

void readTrustedProxies(const StanzaReader& reader, ServeSettings& settings) {
    std::string value = reader.text("trusted-proxies", DEFAULT_TRUSTED_PROXIES);
    for (const std::string& item : commaList(value)) {
        AddressBlock block;
        if (!parseBlock(item, block)) {
            reader.problem("trusted-proxies", value, "IPv4 or IPv6 address blocks (CIDR), comma separated");
            settings.trustedProxies.clear();
            return;
        }
        settings.trustedProxies.push_back(block);
    }
}

}  // namespace

ServeSettings readServeSettings(const ConfigReader& config, const ServeOverrides& overrides,
                                std::vector<std::string>& problems) {
    ServeSettings settings;
    StanzaReader reader(config, problems);
    settings.listen = overrides.listen.empty() ? reader.text("listen", settings.listen) : overrides.listen;
    reader.number("threads", settings.threads);
    if (overrides.threads > 0) settings.threads = overrides.threads;
    reader.number("max-queue", settings.maxQueue);
    reader.number("read-timeout", settings.readTimeout);
    reader.number("write-timeout", settings.writeTimeout);
    reader.number("keep-alive-timeout", settings.keepAliveTimeout);
    reader.choice("style", overrides.nginx ? "nginx" : reader.text("style", ""), settings.style,
                  {{"standard", AnswerStyle::Standard}, {"nginx", AnswerStyle::Nginx}});
    reader.choice("log-format", overrides.logFormat.empty() ? reader.text("log-format", "") : overrides.logFormat,
                  settings.logFormat, {{"text", LogFormat::Text}, {"json", LogFormat::Json}});
    settings.objectPrefix = reader.text("object-prefix", "");
    if (!settings.objectPrefix.empty() &&
        (settings.objectPrefix.front() != '/' || settings.objectPrefix.back() == '/' ||
         settings.objectPrefix.find_first_of("<>&\"' \t%?#") != std::string::npos)) {
        reader.problem("object-prefix", settings.objectPrefix, "a path such as /Corvane/inst1 (no trailing /)");
        settings.objectPrefix.clear();
    }
    readMethodOperations(reader, settings);
    reader.headerName("user-header", settings.userHeader);
    reader.headerName("groups-header", settings.groupsHeader);
    reader.headerName("auth-level-header", settings.authLevelHeader);
    readTrustedProxies(reader, settings);
    settings.unauthenticatedUser = reader.text("unauthenticated-user", settings.unauthenticatedUser);
    settings.stepupUrl = reader.text("stepup-url", "");
    if (settings.stepupUrl.find_first_of("\r\n") != std::string::npos) {
        reader.problem("stepup-url", settings.stepupUrl, "a URL");
        settings.stepupUrl.clear();
    }
    settings.decisionInfo = config.stanza("azn-decision-info").value_or(NameValues{});
    return settings;
}

std::string trimmed(const std::string& text) {
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string> commaList(const std::string& text) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        std::string item = trimmed(text.substr(start, comma - start));
        if (!item.empty()) items.push_back(item);
        start = comma + 1;
    }
    return items;
}

bool inBlocks(const std::vector<AddressBlock>& blocks, const std::string& address) {
    std::array<unsigned char, 16> bytes{};
    bool isV4 = false;
    if (!parseAddress(address, bytes, isV4)) return false;
    for (const AddressBlock& block : blocks) {
        int full = block.prefixBits / 8, rest = block.prefixBits % 8;
        if (std::memcmp(bytes.data(), block.bytes.data(), full) != 0) continue;
        unsigned char mask = static_cast<unsigned char>(0xff << (8 - rest));
        if (rest == 0 || ((bytes[full] ^ block.bytes[full]) & mask) == 0) return true;
    }
    return false;
}

std::string canonicalAddress(const std::string& text) {
    std::array<unsigned char, 16> bytes{};
    bool isV4 = false;
    if (text.size() > INET6_ADDRSTRLEN || !parseAddress(text, bytes, isV4)) return "";
    char out[INET6_ADDRSTRLEN] = {};
    if (isV4) return inet_ntop(AF_INET, bytes.data() + 12, out, sizeof out) ? out : "";
    bool mapped = std::memcmp(bytes.data(), "\0\0\0\0\0\0\0\0\0\0\xff\xff", 12) == 0;
    if (mapped) return inet_ntop(AF_INET, bytes.data() + 12, out, sizeof out) ? out : "";
    return inet_ntop(AF_INET6, bytes.data(), out, sizeof out) ? out : "";
}

}  // namespace zemhost
