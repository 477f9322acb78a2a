#include "rba/KOVAConfig.h"

#include <algorithm>
#include <memory>

#include "rba/kova_eas.h"

static constexpr const char* KOVA_UNIT = "rba/KOVAConfig";

int KOVAKeyLess::compareJoined(std::string_view text, const KOVASplitKey& key) {
    if (int head = text.substr(0, key.head.size()).compare(key.head)) return head;
    return text.substr(key.head.size()).compare(key.tail);
}

namespace {

// Stanza data is released on every path, also when a conversion error abandons the walk.
typedef std::unique_ptr<qzw_stanza_pair_t, void (*)(qzw_stanza_pair_t*)> StanzaData;

// Inserts unless the key is present: the first entry of a stanza wins, in reverse tables too.
template <class Table, class Key, class Value>
void addFirst(Table& table, Key&& key, Value&& value) {
    table.try_emplace(std::forward<Key>(key), std::forward<Value>(value));
}

}  // namespace

KOVAConfig::KOVAConfig(const char* config_file) {
    static const char* const name = "KOVAModule::KOVAConfig";
    KOVA_ENTER(name);
    loadPairs(config_file, "azn-decision-info", &KOVAConfig::addDecisionInfo);
    loadPairs(config_file, KOVA_LEVELS_STANZA, &KOVAConfig::addLevelMapping);
    loadPairs(config_file, KOVA_URLS_STANZA, &KOVAConfig::addURLMapping);
    loadPairs(config_file, "user-attribute-definitions", &KOVAConfig::addUserAttribute);
    indexWildcards();
    m_headerNames.index(appContextToHeader);
    KOVA_EXIT(name);
}

KOVAConfig::~KOVAConfig() = default;

std::size_t KOVAKeyIndex::summaryOf(std::string_view key) {
    if (key.empty()) return 0;
    return key.size() << 16 | static_cast<unsigned char>(key.front()) << 8 | static_cast<unsigned char>(key.back());
}

void KOVAKeyIndex::index(const KOVATextTable& table) {
    m_entries.clear();
    m_entries.reserve(table.size());
    for (const auto& [key, value] : table) m_entries.push_back({summaryOf(key), key, &value});
    std::sort(m_entries.begin(), m_entries.end(), [](const Entry& a, const Entry& b) { return a.summary < b.summary; });
}

const std::string* KOVAKeyIndex::find(std::string_view key) const {
    std::size_t summary = summaryOf(key);
    auto at = std::lower_bound(m_entries.begin(), m_entries.end(), summary,
                               [](const Entry& entry, std::size_t wanted) { return entry.summary < wanted; });
    for (; at != m_entries.end() && at->summary == summary; ++at)
        if (at->key == key) return at->value;
    return nullptr;
}

// In key order a prefix comes right before the texts it starts, so the open chain of prefixes is a stack.
void KOVAConfig::indexWildcards() {
    m_wildcards.reserve(wildcardObligationURLs.size());
    std::vector<long> chain;
    for (const auto& [prefix, url] : wildcardObligationURLs) {
        while (!chain.empty() && !prefix.starts_with(*m_wildcards[chain.back()].prefix)) chain.pop_back();
        m_wildcards.push_back({&prefix, &url, chain.empty() ? -1 : chain.back()});
        chain.push_back(static_cast<long>(m_wildcards.size()) - 1);
    }
}

void KOVAConfig::loadPairs(const char* config_file, const char* stanza,
                           void (KOVAConfig::*add)(const char*, const char*)) {
    StanzaData data(nullptr, qzw_release_stanza_data);
    try {
        data.reset(loadStanza(config_file, stanza));
    } catch (const StanzaMissingException&) {
        return;  // already reported; the stanza's tables stay empty
    }
    for (const qzw_stanza_pair_t* pair = data.get(); pair && pair->name; ++pair) {
        (this->*add)(pair->name, pair->value ? pair->value : "");
    }
}

qzw_stanza_pair_t* KOVAConfig::loadStanza(const char* config_file, const char* stanza) {
    qzw_stanza_pair_t* data = nullptr;
    if (qzw_load_stanza(config_file, stanza, 0, &data)) return data;

    std::string text = std::string("Coudn't find stanza named: ") + stanza + " in file " + config_file;
    KOVA_TRACE(1, "%s", text.c_str());
    KOVAServiceability::printMessage(QLXBA0307W, stanza, config_file);
    throw StanzaMissingException(text);
}

void KOVAConfig::addDecisionInfo(const char* name, const char* value) {
    KOVA_TRACE(9, "Found app_context_data key [%s] and header name [%s]", name, value);
    addFirst(appContextToHeader, name, value);
    addFirst(headerToAppContext, value, name);
}

void KOVAConfig::addLevelMapping(const char* name, const char* value) {
    KOVA_TRACE(9, "Found obligation [%s] and level [%s]", name, value);
    uint32_t level = kova_strtoul(value);
    addFirst(obligationToLevel, name, level);
    addFirst(levelToObligation, level, name);
}

void KOVAConfig::addURLMapping(const char* name, const char* value) {
    KOVA_TRACE(9, "Found obligation_urls_mapping entry, key [%s] URL [%s]", name, value);
    std::string prefix;
    if (isAWildcardObligation(name, prefix)) {
        addFirst(wildcardObligationURLs, std::move(prefix), value);
    } else {
        addFirst(obligationURLs, name, value);
    }
}

void KOVAConfig::addUserAttribute(const char* name, const char* value) {
    KOVA_TRACE(9, "Found user attribute entry, name [%s] value [%s]", name, value);
    addFirst(userAttributeDefinitions, name, value);
}

namespace {

// The value under `key`, or null.
template <class Table, class Key>
const typename Table::mapped_type* valueOf(const Table& table, const Key& key) {
    auto found = table.find(key);
    return found != table.end() ? &found->second : nullptr;
}
const std::string* valueOf(const KOVAKeyIndex& index, std::string_view key) { return index.find(key); }

// The value under `key`; `raise` reports and throws when there is none.
template <class Table, class Key, class Raise>
const auto& findOrRaise(const Table& table, const Key& key, const char* traceName, Raise raise) {
    KOVA_ENTER(traceName);
    const auto* found = valueOf(table, key);
    if (!found) raise();
    KOVA_EXIT(traceName);
    return *found;
}

// A missing entry the caller cannot do without: level-1 trace, catalogue message, exception.
template <class Exception>
[[noreturn]] void raiseReported(const std::string& text, uint32_t message, const std::string& argument) {
    KOVA_TRACE(1, "%s", text.c_str());
    KOVAServiceability::printMessage(message, argument.c_str());
    throw Exception(text);
}

}  // namespace

const std::string& KOVAConfig::getHeaderName(std::string_view appContextKey) const {
    return findOrRaise(m_headerNames, appContextKey, "KOVAModule::getHeaderName", [&] {
        std::string key(appContextKey);
        raiseReported<HeaderNameMissingException>("Header key name missing for app_context_data key: " + key,
                                                  QLXBA0308W, key);
    });
}

int KOVAConfig::getAppContextKey(const std::string& header, std::string& key) const {
    static const char* const name = "KOVAConfig::getAppContextKey";
    KOVA_ENTER(name);
    int result = 1;
    auto found = headerToAppContext.find(header);
    if (found != headerToAppContext.end()) {
        key = found->second;
        result = 0;
    }
    KOVA_EXIT_STATUS(name, result);
    return result;
}

void kova_trace_applied_mapping(const char* traceName, const char* obligation, const char* stanza,
                                std::string_view entry, std::string_view value) {
    // The obligation comes from the PDP, so it goes last, where no text it holds can pass for another field.
    KOVA_TRACE(9, "%s: applied obligation mapping: stanza[%s] entry[%.*s] value[%.*s] obligation[%s]", traceName,
               stanza ? stanza : "none", static_cast<int>(entry.size()), entry.data(), static_cast<int>(value.size()),
               value.data(), kova_str(obligation));
}

uint32_t KOVAConfig::getAuthenticationLevel(const std::string& obligation) const {
    static const char* const name = "KOVAModule::getAuthenticationLevel";
    uint32_t level = findOrRaise(obligationToLevel, obligation, name, [&] {
        raiseReported<AuthenticationLevelMissingException>("Authentication level missing for obligation: " + obligation,
                                                           QLXBA0309W, obligation);
    });
    if (kova_tracing(9))
        kova_trace_applied_mapping(name, obligation.c_str(), KOVA_LEVELS_STANZA, obligation, std::to_string(level));
    return level;
}

const std::string& KOVAConfig::getObligation(uint32_t level) const {
    return findOrRaise(levelToObligation, level, "KOVAModule::getObligation", [&] {
        // The caller treats a level without obligation as normal, so there is no catalogue message.
        std::string text =
            "Obligation missing for authentication level: " + std::to_string(level) + "This is not a problem";
        KOVA_TRACE(9, "%s", text.c_str());
        throw ObligationMissingException(text);
    });
}

const std::string* KOVAConfig::findObligation(uint32_t level) const {
    auto found = levelToObligation.find(level);
    return found != levelToObligation.end() ? &found->second : nullptr;
}

int KOVAConfig::isAWildcardObligation(const char* obligation, std::string& prefix) const {
    static const char* const name = "KOVAConfig::isAWildcardObligation";
    KOVA_TRACE(6, "Enter %s obligation[%s]", name, kova_str(obligation));
    int result = 0;
    if (!obligation) {
        KOVA_TRACE(1, "%s Caller sent in NULL for obligation.  Should never happen!", name);
    } else {
        std::string_view text(obligation);
        if (!text.empty() && text.back() == '*') {
            prefix.assign(text.substr(0, text.size() - 1));
            result = 1;
        }
    }
    KOVA_TRACE(6, "Exit %s (%d) wildcareObligation[%s]", name, result, prefix.c_str());
    return result;
}

int KOVAConfig::getObligationURL(const char* obligation, std::string& url) const {
    static const char* const name = "KOVAConfig::getObligationURL";
    KOVA_TRACE(6, "Enter %s obligation[%s]", name, kova_str(obligation));
    int result = 0;
    auto found = obligation ? obligationURLs.find(std::string_view(obligation)) : obligationURLs.end();
    if (found != obligationURLs.end()) {
        url = found->second;
        kova_trace_applied_mapping(name, obligation, KOVA_URLS_STANZA, found->first, url);
    } else {
        result = getWildcardObligationURL(obligation, url);
    }
    KOVA_EXIT_STATUS(name, result);
    return result;
}

int KOVAConfig::getWildcardObligationURL(const char* obligation, std::string& url) const {
    static const char* const name = "KOVAConfig::getWildcardObligationURL";
    KOVA_TRACE(6, "Enter %s obligation[%s]", name, kova_str(obligation));
    int result = 1;
    if (!obligation) {
        KOVA_TRACE(1, "%s Caller send us a NULL input obligation.  Should never happen.", name);
    } else {
        // Every prefix of the obligation sorts at or before it, a longer one after a shorter, and each lies
        // on the chain of the last prefix not after it: the first on that chain that matches is the longest.
        std::string_view text(obligation);
        auto after =
            std::upper_bound(m_wildcards.begin(), m_wildcards.end(), text,
                             [](std::string_view key, const WildcardEntry& entry) { return key < *entry.prefix; });
        for (long at = (after - m_wildcards.begin()) - 1; at >= 0; at = m_wildcards[at].shorter) {
            const WildcardEntry& entry = m_wildcards[at];
            KOVA_TRACE(9, "%s compare config wildcard obligation[%s] with input obligation[%s]", name,
                       entry.prefix->c_str(), obligation);
            if (text.starts_with(*entry.prefix)) {
                url = *entry.url;
                result = 0;
                if (kova_tracing(9))
                    kova_trace_applied_mapping(name, obligation, KOVA_URLS_STANZA, *entry.prefix + "*", url);
                break;
            }
        }
    }
    KOVA_TRACE(6, "Exit %s [%d] URL[%s]", name, result, url.c_str());
    return result;
}

int KOVAConfig::findDefinition(const char* traceName, const std::string& attribute, std::string_view suffix,
                               std::string& value) const {
    KOVA_TRACE(6, "Enter %s attributeID[%s]", traceName, attribute.c_str());
    int result = 1;
    auto found = userAttributeDefinitions.find(KOVASplitKey{attribute, suffix});
    if (found != userAttributeDefinitions.end()) {
        value = found->second;
        result = 0;
    }
    KOVA_EXIT_STATUS(traceName, result);
    return result;
}

int KOVAConfig::getAttrDataType(const std::string& attribute, std::string& dataType) const {
    return findDefinition("KOVAConfig::getAttrDataType", attribute, ".datatype", dataType);
}

int KOVAConfig::getAttrCategory(const std::string& attribute, std::string& category) const {
    return findDefinition("KOVAConfig::getAttrCategory", attribute, ".category", category);
}
