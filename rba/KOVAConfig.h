// The administrator's mapping tables, read once at start-up from four stanzas and read-only afterwards.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "nvwebrte/nvwebrte.h"

// A table key given as two pieces (an attribute identifier and a suffix such as ".datatype"), compared
// as if joined, so that a lookup needs no joined copy.
struct KOVASplitKey {
    std::string_view head;
    std::string_view tail;
};

// Byte-wise order of texts, also accepting views and split keys for lookups.
struct KOVAKeyLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return a < b; }
    bool operator()(std::string_view a, const KOVASplitKey& b) const { return compareJoined(a, b) < 0; }
    bool operator()(const KOVASplitKey& a, std::string_view b) const { return compareJoined(b, a) > 0; }

private:
    static int compareJoined(std::string_view text, const KOVASplitKey& key);
};

typedef std::map<std::string, std::string, KOVAKeyLess> KOVATextTable;

// A read-only table's entries in order of a number made of each key's length, first and last byte: a lookup
// compares numbers on its way down and bytes only with the keys that agree on all three, where the table's own
// order compares bytes at every step.
class KOVAKeyIndex {
public:
    // Views into the table, which must outlive the index and no longer change.
    void index(const KOVATextTable& table);
    // The value under `key`, or null.
    const std::string* find(std::string_view key) const;

private:
    struct Entry {
        std::size_t summary;
        std::string_view key;
        const std::string* value;
    };
    static std::size_t summaryOf(std::string_view key);
    std::vector<Entry> m_entries;
};

// The obligation stanzas: a URL entry redirects, a level entry asks for a step-up.
inline constexpr const char* KOVA_URLS_STANZA = "obligations-urls-mapping";
inline constexpr const char* KOVA_LEVELS_STANZA = "obligations-levels-mapping";

// At level 9, the record naming the entry that decided an obligation, "TRACENAME: applied obligation
// mapping: stanza[..] entry[..] value[..] obligation[..]"; a null stanza records "none" (no entry applies).
void kova_trace_applied_mapping(const char* traceName, const char* obligation, const char* stanza,
                                std::string_view entry, std::string_view value);

class KOVAConfig {
public:
    // Loads "azn-decision-info", "obligations-levels-mapping", "obligations-urls-mapping" and
    // "user-attribute-definitions" in that order. A missing stanza is reported and skipped; any other
    // KOVAException (a level that does not convert) abandons construction.
    explicit KOVAConfig(const char* config_file);
    ~KOVAConfig();
    KOVAConfig(const KOVAConfig&) = delete;
    KOVAConfig& operator=(const KOVAConfig&) = delete;

    // The stanza's pairs (release with qzw_release_stanza_data); raises StanzaMissingException.
    qzw_stanza_pair_t* loadStanza(const char* config_file, const char* stanza);

    // Raises HeaderNameMissingException (after QLXBA0308W) when the key has no header name.
    const std::string& getHeaderName(std::string_view appContextKey) const;
    // 0 and `key` set when found, 1 otherwise.
    int getAppContextKey(const std::string& header, std::string& key) const;
    // Raises AuthenticationLevelMissingException (after QLXBA0309W) when the obligation has no level.
    uint32_t getAuthenticationLevel(const std::string& obligation) const;
    // Raises ObligationMissingException, a normal outcome for the caller, when the level has none.
    const std::string& getObligation(uint32_t level) const;
    // The same without raising, for each decision: null when the level has none.
    const std::string* findObligation(uint32_t level) const;
    // Exact entry first, then the longest matching wildcard prefix; 0 and `url` set when found, else 1.
    int getObligationURL(const char* obligation, std::string& url) const;
    int getWildcardObligationURL(const char* obligation, std::string& url) const;
    // The "<attribute>.datatype" / "<attribute>.category" definitions; 0 when found, else 1.
    int getAttrDataType(const std::string& attribute, std::string& dataType) const;
    int getAttrCategory(const std::string& attribute, std::string& category) const;
    // 1 and `prefix` set when the obligation ends in "*", else 0.
    int isAWildcardObligation(const char* obligation, std::string& prefix) const;

    KOVATextTable appContextToHeader;
    KOVATextTable headerToAppContext;
    std::map<std::string, uint32_t, KOVAKeyLess> obligationToLevel;
    std::map<uint32_t, std::string> levelToObligation;
    KOVATextTable obligationURLs;
    KOVATextTable wildcardObligationURLs;
    KOVATextTable userAttributeDefinitions;

private:
    // One wildcard prefix in key order, with the index of the longest other prefix that starts it (-1
    // when none): the matching prefixes of any obligation lie on one such chain.
    struct WildcardEntry {
        const std::string* prefix;
        const std::string* url;
        long shorter;
    };
    std::vector<WildcardEntry> m_wildcards;
    KOVAKeyIndex m_headerNames;  // appContextToHeader, looked up for every item of every decision

    void indexWildcards();
    void addDecisionInfo(const char* name, const char* value);
    void addLevelMapping(const char* name, const char* value);
    void addURLMapping(const char* name, const char* value);
    void addUserAttribute(const char* name, const char* value);
    void loadPairs(const char* config_file, const char* stanza, void (KOVAConfig::*add)(const char*, const char*));
    int findDefinition(const char* traceName, const std::string& attribute, std::string_view suffix,
                       std::string& value) const;
};
