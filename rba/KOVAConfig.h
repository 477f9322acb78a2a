// The administrator's mapping tables, read once at start-up from four stanzas and read-only afterwards.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "nvwebrte/nvwebrte.h"

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

    const std::string& getHeaderName(const std::string& appContextKey) const;
    int getAppContextKey(const std::string& header, std::string& key) const;
    uint32_t getAuthenticationLevel(const std::string& obligation) const;
    const std::string& getObligation(uint32_t level) const;
    int getObligationURL(const char* obligation, std::string& url) const;
    int getWildcardObligationURL(const char* obligation, std::string& url) const;
    int getAttrDataType(const std::string& attribute, std::string& dataType) const;
    int getAttrCategory(const std::string& attribute, std::string& category) const;
    int isAWildcardObligation(const char* obligation, std::string& prefix) const;

    std::map<std::string, std::string> appContextToHeader;
    std::map<std::string, std::string> headerToAppContext;
    std::map<std::string, uint32_t> obligationToLevel;
    std::map<uint32_t, std::string> levelToObligation;
    std::map<std::string, std::string> obligationURLs;
    std::map<std::string, std::string> wildcardObligationURLs;
    std::map<std::string, std::string> userAttributeDefinitions;
};
