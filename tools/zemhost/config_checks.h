// check-config: what an administrator can fix in the proxy's configuration, found without deciding
// anything. Problems make the check fail; warnings name a setting that weakens security and notices
// only inform.
#pragma once

#include <string>
#include <vector>

#include "config_reader.h"
#include "plugin_host.h"

namespace zemhost {

extern const char* const KOVA_STANZA;

class Findings {
public:
    enum Kind { PROBLEM, WARNING, NOTICE };
    void problem(std::string text) { m_items.push_back({PROBLEM, std::move(text)}); }
    void warning(std::string text) { m_items.push_back({WARNING, std::move(text)}); }
    void notice(std::string text) { m_items.push_back({NOTICE, std::move(text)}); }

    struct Item {
        Kind kind;
        std::string text;
        const char* label() const { return kind == PROBLEM ? "problem" : kind == WARNING ? "warning" : "notice"; }
    };
    const std::vector<Item>& items() const { return m_items; }
    std::size_t problems() const;

private:
    std::vector<Item> m_items;
};

// Malformed lines, entries no reader takes as written (unknown, repeated, out of range), the PDP
// cluster's keys as the cluster reads them, audit and basic-authentication settings.
void checkEntries(const ConfigReader& config, Findings& findings);
// Starts the plug-in as `zemhost init` does and reports its error messages as problems; returns the
// URLs of the endpoints the started cluster holds.
std::vector<std::string> checkStartUp(const HostSettings& settings, Findings& findings);
// Entries the plug-in cannot read (obfuscated values that do not decode), the permit that a broken
// PDP exchange turns into, and configured texts that go into the request document unescaped.
void checkExposure(const ConfigReader& config, Findings& findings);
// The mapping stanzas and the harness's native policy.
void checkMappings(const ConfigReader& config, Findings& findings);
// A health-check GET to each URL, which must answer "HTTP/1.1 200 OK".
void checkEndpoints(const ConfigReader& config, const std::vector<std::string>& urls, Findings& findings);

}  // namespace zemhost
