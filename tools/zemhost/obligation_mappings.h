// The administrator's obligation tables, [obligations-urls-mapping] and [obligations-levels-mapping],
// and the choice the plug-in makes between them for one obligation.
#pragma once

#include <optional>
#include <string>

#include "config_reader.h"

namespace zemhost {

extern const char* const URLS_STANZA;
extern const char* const LEVELS_STANZA;

struct AppliedMapping {
    std::string stanza;    // URLS_STANZA or LEVELS_STANZA
    std::string entry;     // the entry's name as written, e.g. "urn:...:consent:*"
    std::string value;     // the URL or the level as written
    bool wildcard = false;

    // "[obligations-urls-mapping] NAME = VALUE (wildcard)"
    std::string describe() const;
};

class ObligationMappings {
public:
    static ObligationMappings load(const ConfigReader& config);

    // As the plug-in decides: an exact URL entry, else the longest wildcard prefix ("P*"), else a level.
    // The first entry wins when a name is repeated.
    std::optional<AppliedMapping> mappingFor(const std::string& obligation) const;

    const NameValues& urls() const { return m_urls; }
    const NameValues& levels() const { return m_levels; }

private:
    NameValues m_urls;
    NameValues m_levels;
};

}  // namespace zemhost
