// check-config: what an administrator can fix in the proxy's configuration, found without deciding
// anything. Problems make the check fail; warnings name a setting that weakens security and notices
// only inform.
#pragma once

#include <functional>
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
// What runs while the plug-in is up: the host when start-up succeeded (else null), and the URLs of the
// endpoints its cluster holds.
using WhileStarted = std::function<void(const PluginHost* host, const std::vector<std::string>& urls)>;
// Starts the plug-in as `zemhost init` does, reports its error messages as problems, makes a canned
// decision through the cluster's own choice of endpoint, and runs `whileStarted` before shutting it down.
// The plug-in's messages go to a file of their own until then.
void checkStartUp(const HostSettings& settings, Findings& findings, const WhileStarted& whileStarted);
// One decision of an unknown user for an object no proxy serves, reported with its latency and outcome
// after `subject`: a notice for any PDP verdict, a problem for the 502 page or a failure.
void checkCannedDecision(const PluginHost& host, const std::string& subject, Findings& findings);
// Entries the plug-in cannot read (obfuscated values that do not decode), the permit that a broken
// PDP exchange turns into, and configured texts that go into the request document unescaped.
void checkExposure(const ConfigReader& config, Findings& findings);
// The mapping stanzas and the harness's native policy.
void checkMappings(const ConfigReader& config, Findings& findings);
// For each URL, with one progress line on standard error: the cluster's own health check and, when it
// answers and the plug-in started, a canned decision through that endpoint alone; the days left on an
// https endpoint's certificate; and a warning when `timeout` makes failover slow.
void checkEndpoints(const PluginHost* host, const ConfigReader& config, const std::vector<std::string>& urls,
                    Findings& findings);

}  // namespace zemhost
