// Reading the proxy's stanza configuration file through the host's readers.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "decision.h"

namespace zemhost {

class ConfigReader {
public:
    explicit ConfigReader(std::string configFile) : m_configFile(std::move(configFile)) {}

    const std::string& path() const { return m_configFile; }
    // Every entry of [stanza] in file order, or nothing when the stanza is absent.
    std::optional<NameValues> stanza(const std::string& name) const;
    // Values of `key` in [stanza] in file order, obfuscated entries decoded as the plug-in reads them;
    // nothing for an entry the reader refuses (see unreadableEntries).
    std::vector<std::string> values(const std::string& stanza, const std::string& key) const;
    // The first value, or "" when the entry is absent.
    std::string first(const std::string& stanza, const std::string& key) const;
    // Why the plug-in's reader refuses entries of [stanza] ("FILE: [stanza] key: why"), one per key.
    std::vector<std::string> unreadableEntries(const std::string& stanza) const;
    // Lines the file reader could not understand, as "FILE:LINE: what is wrong: line".
    std::vector<std::string> malformedLines() const;

private:
    std::string m_configFile;
};

}  // namespace zemhost
