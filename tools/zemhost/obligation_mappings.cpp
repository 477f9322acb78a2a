#include "obligation_mappings.h"

namespace zemhost {

const char* const URLS_STANZA = "obligations-urls-mapping";
const char* const LEVELS_STANZA = "obligations-levels-mapping";

namespace {

bool isWildcard(const std::string& name) { return !name.empty() && name.back() == '*'; }

}  // namespace

std::string AppliedMapping::describe() const {
    return "[" + stanza + "] " + entry + " = " + value + (wildcard ? " (wildcard)" : "");
}

ObligationMappings ObligationMappings::load(const ConfigReader& config) {
    ObligationMappings mappings;
    mappings.m_urls = config.stanza(URLS_STANZA).value_or(NameValues{});
    mappings.m_levels = config.stanza(LEVELS_STANZA).value_or(NameValues{});
    return mappings;
}

std::optional<AppliedMapping> ObligationMappings::mappingFor(const std::string& obligation) const {
    for (const auto& [name, url] : m_urls) {
        if (!isWildcard(name) && name == obligation) return AppliedMapping{URLS_STANZA, name, url, false};
    }
    std::optional<AppliedMapping> longest;
    for (const auto& [name, url] : m_urls) {
        if (!isWildcard(name) || (longest && name.size() <= longest->entry.size())) continue;
        if (obligation.starts_with(name.substr(0, name.size() - 1))) longest = AppliedMapping{URLS_STANZA, name, url, true};
    }
    if (longest) return longest;
    for (const auto& [name, level] : m_levels) {
        if (name == obligation) return AppliedMapping{LEVELS_STANZA, name, level, false};
    }
    return std::nullopt;
}

}  // namespace zemhost
