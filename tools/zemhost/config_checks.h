// check-config: what an administrator can fix in the proxy's configuration, found without deciding
// anything. Problems make the check fail; notices only inform.
#pragma once

#include <string>
#include <vector>

#include "config_reader.h"

namespace zemhost {

extern const char* const KOVA_STANZA;

class Findings {
public:
    void problem(std::string text) { m_items.push_back({true, std::move(text)}); }
    void notice(std::string text) { m_items.push_back({false, std::move(text)}); }

    struct Item {
        bool problem;
        std::string text;
    };
    const std::vector<Item>& items() const { return m_items; }
    std::size_t problems() const;

private:
    std::vector<Item> m_items;
};

// Required entries, booleans, numbers, certificate files, audit and basic-authentication settings.
void checkEntries(const ConfigReader& config, Findings& findings);
// The `server` entries; returns the URLs of those that parse.
std::vector<std::string> checkServers(const ConfigReader& config, Findings& findings);
// The mapping stanzas and the harness's native policy.
void checkMappings(const ConfigReader& config, Findings& findings);
// A health-check GET to each URL, which must answer "HTTP/1.1 200 OK".
void checkEndpoints(const ConfigReader& config, const std::vector<std::string>& urls, Findings& findings);

}  // namespace zemhost
