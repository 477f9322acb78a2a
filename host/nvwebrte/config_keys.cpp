#include "nvwebrte/config_keys.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <set>

#include "nvwebrte/nvwebrte.h"
#include "nvwebrte/stanza_file.h"

namespace zem {

namespace {

using T = KeyType;
constexpr const char* PLUGIN = "plug-in";
constexpr const char* CLUSTER = "cluster";
constexpr const char* SERVE = "zemhost serve";
constexpr const char* HARNESS = "zemhost";

ConfigKey text(const char* stanza, const char* key, const char* fallback, bool required, const char* reader,
               bool decodesObf = false) {
    return {stanza, key, T::Text, 0, 0, nullptr, fallback, required, false, decodesObf, reader};
}
ConfigKey boolean(const char* stanza, const char* key, const char* fallback, bool required, const char* reader,
                  bool decodesObf = false) {
    return {stanza, key, T::Boolean, 0, 0, nullptr, fallback, required, false, decodesObf, reader};
}
ConfigKey number(const char* stanza, const char* key, long long minimum, long long maximum, const char* fallback,
                 const char* reader, bool decodesObf) {
    return {stanza, key, T::Number, minimum, maximum, nullptr, fallback, false, false, decodesObf, reader};
}
ConfigKey words(const char* stanza, const char* key, const char* choices, const char* fallback, const char* reader) {
    return {stanza, key, T::Words, 0, 0, choices, fallback, false, false, false, reader};
}
ConfigKey table(const char* stanza, KeyType type, const char* choices, const char* reader) {
    return {stanza, "*", type, 0, 0, choices, "", false, false, false, reader};
}

std::vector<ConfigKey> declare() {
    const char* K = "kova-eas";
    const char* S = "zemhost-serve";
    ConfigKey server = text(K, "server", "", true, CLUSTER, true);
    server.repeated = true;
    return {
        // The plug-in's own settings, read as written (no obf: decoding).
        text(K, "trace-component", "", true, PLUGIN),
        text(K, "cluster-name", "", true, PLUGIN),
        boolean(K, "apply-zem-native-policy", "", true, PLUGIN),
        text(K, "context-id", "the proxy instance name", false, PLUGIN),
        boolean(K, "use_real_client_ip", "yes", false, PLUGIN),
        boolean(K, "provide_700_attribute_ids", "no", false, PLUGIN),
        boolean(K, "permit-when-no-kova-available", "no", false, PLUGIN),
        text(K, "audit-log-cfg", "no auditing", false, PLUGIN),
        text("corvane-config", "version", "", true, PLUGIN),
        text("server", "server-name", "", true, PLUGIN),
        text("aznapi-configuration", "special-eas", "", false, PLUGIN),
        // The PDP cluster's keys, read through the plug-in's loader, which decodes obf:.
        server,
        number(K, "max-handles", 1, 1024, "16", CLUSTER, true),
        number(K, "handle-idle-timeout", 0, 86400, "240", CLUSTER, true),
        number(K, "timeout", 1, 3600, "30", CLUSTER, true),
        number(K, "health-check-interval", 0, 86400, "60", CLUSTER, true),
        number(K, "max-response-size", 1024, 64LL * 1024 * 1024, "1048576", CLUSTER, true),
        text(K, "ssl-ca-file", "the system trust store", false, CLUSTER, true),
        text(K, "ssl-cert-file", "none", false, CLUSTER, true),
        text(K, "ssl-key-file", "none", false, CLUSTER, true),
        boolean(K, "ssl-verify-peer", "yes", false, CLUSTER, true),
        text(K, "basic-auth-user", "none", false, CLUSTER, true),
        text(K, "basic-auth-passwd", "none", false, CLUSTER, true),
        // The plug-in's mapping tables: any name.
        table("azn-decision-info", T::Text, nullptr, PLUGIN),
        table("obligations-levels-mapping", T::Text, nullptr, PLUGIN),
        table("obligations-urls-mapping", T::RedirectUrl, nullptr, PLUGIN),
        table("user-attribute-definitions", T::Text, nullptr, PLUGIN),
        // The harness.
        table("zemhost-native-policy", T::Text, nullptr, HARNESS),  // its words are the policy reader's
        text(S, "listen", "127.0.0.1:9191", false, SERVE),
        number(S, "threads", 1, 256, "8", SERVE, false),
        number(S, "max-queue", 0, 65536, "256", SERVE, false),
        number(S, "read-timeout", 1, 300, "5", SERVE, false),
        number(S, "write-timeout", 1, 300, "5", SERVE, false),
        number(S, "keep-alive-timeout", 1, 300, "5", SERVE, false),
        words(S, "style", "standard|nginx", "standard", SERVE),
        words(S, "log-format", "text|json", "text", SERVE),
        text(S, "object-prefix", "", false, SERVE),
        text(S, "method-operations", "GET=r, HEAD=r, OPTIONS=r, POST=w, PUT=w, PATCH=w, DELETE=w", false, SERVE),
        text(S, "user-header", "Remote-User", false, SERVE),
        text(S, "groups-header", "Remote-Groups", false, SERVE),
        text(S, "auth-level-header", "Remote-Auth-Level", false, SERVE),
        text(S, "trusted-proxies", "127.0.0.0/8, ::1/128", false, SERVE),
        text(S, "unauthenticated-user", "unauthenticated", false, SERVE),
        text(S, "stepup-url", "", false, SERVE),
    };
}

std::size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string nearestText(const std::string& word, const std::vector<std::string>& candidates) {
    std::string nearest = closestName(word, candidates);
    return nearest.empty() ? "" : " (did you mean " + nearest + "?)";
}

std::vector<std::string> declaredStanzas() {
    std::vector<std::string> names;
    for (const ConfigKey& key : configKeys())
        if (std::find(names.begin(), names.end(), key.stanza) == names.end()) names.emplace_back(key.stanza);
    return names;
}

std::vector<std::string> declaredKeys(const std::string& stanza) {
    std::vector<std::string> names;
    for (const ConfigKey& key : configKeys())
        if (key.stanza == stanza) names.emplace_back(key.key);
    return names;
}

bool isUrlCharacter(char c) { return c > ' ' && c < 0x7f; }

std::string redirectProblem(const std::string& url) {
    if (url.empty() || !std::all_of(url.begin(), url.end(), isUrlCharacter))
        return "not a URL (empty, or a blank, control character or non-ASCII byte: percent-encode them)";
    if (url.starts_with("/") && !url.starts_with("//")) return "";
    for (const char* scheme : {"http://", "https://"}) {
        std::string rest = url.substr(std::min(url.size(), std::string(scheme).size()));
        if (url.starts_with(scheme) && !rest.empty() && rest.front() != '/') return "";
    }
    return "not a path starting with / nor an http:// or https:// URL with a host";
}

std::string wordsProblem(const ConfigKey& key, const std::string& value) {
    std::string choices = key.words;
    std::size_t start = 0;
    while (start <= choices.size()) {
        std::size_t bar = std::min(choices.find('|', start), choices.size());
        if (choices.compare(start, bar - start, value) == 0) return "";
        start = bar + 1;
    }
    std::string listed = choices;
    std::replace(listed.begin(), listed.end(), '|', ',');
    return "not one of " + listed;
}

void checkEntry(const ConfigKey& key, const std::string& where, const std::string& value,
                std::vector<std::string>& problems) {
    bool obfuscated = value.starts_with("obf:");
    if (obfuscated && !key.decodesObf) {
        problems.push_back(where + " = " + value + ": obf: is not decoded for this key (" + key.reader +
                           " reads it as written)" +
                           (key.type == KeyType::Text ? "" : ", so it is " + valueProblem(key, value)));
        return;
    }
    if (obfuscated) return;  // the reader decodes it and judges the decoded text
    std::string problem = valueProblem(key, value);
    if (!problem.empty()) problems.push_back(where + " = " + value + ": " + problem);
}

}  // namespace

const std::vector<ConfigKey>& configKeys() {
    static const std::vector<ConfigKey> keys = declare();
    return keys;
}

const ConfigKey* findConfigKey(const std::string& stanza, const std::string& key) {
    const ConfigKey* any = nullptr;
    for (const ConfigKey& entry : configKeys()) {
        if (entry.stanza != stanza) continue;
        if (entry.key == key) return &entry;
        if (std::string(entry.key) == "*") any = &entry;
    }
    return any;
}

std::string closestName(const std::string& word, const std::vector<std::string>& candidates) {
    std::string best;
    std::size_t bestDistance = std::max<std::size_t>(3, word.size() / 3) + 1;
    for (const std::string& candidate : candidates) {
        std::size_t distance = editDistance(word, candidate);
        if (distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return best;
}

std::vector<std::string> nearestNames(const std::string& word, std::vector<std::string> candidates, std::size_t count) {
    std::vector<std::pair<std::size_t, std::string>> ranked;
    for (std::string& candidate : candidates) ranked.emplace_back(editDistance(word, candidate), std::move(candidate));
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> nearest;
    for (std::size_t i = 0; i < ranked.size() && i < count; ++i) nearest.push_back(std::move(ranked[i].second));
    return nearest;
}

std::string valueProblem(const ConfigKey& key, const std::string& value) {
    switch (key.type) {
        case KeyType::Boolean: {
            int parsed = 0;
            return nvw_util_unmarshal_bool(value.c_str(), &parsed) == 0 ? "" : "not yes or no";
        }
        case KeyType::Number: {
            long long parsed = 0;
            const char* end = value.data() + value.size();
            auto [stop, error] = std::from_chars(value.data(), end, parsed);
            if (error == std::errc() && stop == end && !value.empty() && parsed >= key.minimum && parsed <= key.maximum)
                return "";
            return "not a whole number from " + std::to_string(key.minimum) + " to " + std::to_string(key.maximum);
        }
        case KeyType::RedirectUrl: return redirectProblem(value);
        case KeyType::Words: return wordsProblem(key, value);
        case KeyType::Text: return "";
    }
    return "";
}

std::vector<std::string> undeclaredEntries(const StanzaFile& file) {
    std::vector<std::string> problems;
    for (const ConfigKey& key : configKeys()) {
        if (key.required && file.values(key.stanza, key.key).empty())
            problems.push_back("[" + std::string(key.stanza) + "] " + key.key + ": missing; " + key.reader +
                               " does not start without it");
    }
    std::vector<std::string> stanzas = declaredStanzas();
    for (const Stanza& stanza : file.stanzas) {
        if (std::find(stanzas.begin(), stanzas.end(), stanza.name) == stanzas.end()) {
            problems.push_back("[" + stanza.name + "]: unknown stanza" + nearestText(stanza.name, stanzas));
            continue;
        }
        std::map<std::string, int> seen;
        for (const auto& [name, value] : stanza.entries) {
            std::string where = "[" + stanza.name + "] " + name;
            const ConfigKey* key = findConfigKey(stanza.name, name);
            if (!key) {
                problems.push_back(where + ": unknown key" + nearestText(name, declaredKeys(stanza.name)));
            } else if (++seen[name] == 2 && !key->repeated && std::string(key->key) != "*") {
                problems.push_back(where + ": given more than once; only the first value is read");
            } else if (seen[name] == 1) {
                checkEntry(*key, where, value, problems);
            }
        }
    }
    return problems;
}

}  // namespace zem
