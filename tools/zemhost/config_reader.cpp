#include "config_reader.h"

#include <set>

#include "nvwebrte/nvwebrte.h"
#include "nvwebrte/stanza_file.h"
#include "qzz/qzz.h"

namespace zemhost {

std::optional<NameValues> ConfigReader::stanza(const std::string& name) const {
    qzw_stanza_pair_t* data = nullptr;
    if (!qzw_load_stanza(m_configFile.c_str(), name.c_str(), 0, &data)) return std::nullopt;
    NameValues entries;
    for (qzw_stanza_pair_t* pair = data; pair && pair->name; ++pair) {
        entries.emplace_back(pair->name, pair->value ? pair->value : "");
    }
    qzw_release_stanza_data(data);
    return entries;
}

std::vector<std::string> ConfigReader::values(const std::string& stanza, const std::string& key) const {
    ZStanzaFileProperties_7_0_0 reader(m_configFile.c_str(), 1);
    ZArrayList_7_0_0 list;
    reader.getValues(stanza.c_str(), key.c_str(), list, 0);
    std::vector<std::string> found;
    for (std::size_t i = 0; i < list.size(); ++i) found.emplace_back(list.get(i).getChars());
    return found;
}

std::vector<std::string> ConfigReader::unreadableEntries(const std::string& stanza) const {
    std::vector<std::string> problems;
    std::set<std::string> keys;
    for (const auto& [key, value] : this->stanza(stanza).value_or(NameValues{})) {
        if (!keys.insert(key).second) continue;
        ZStanzaFileProperties_7_0_0 reader(m_configFile.c_str(), 1);
        ZArrayList_7_0_0 list;
        if (reader.getValues(stanza.c_str(), key.c_str(), list, 0) < 0) problems.push_back(reader.problem());
    }
    return problems;
}

std::string ConfigReader::first(const std::string& stanza, const std::string& key) const {
    std::vector<std::string> found = values(stanza, key);
    return found.empty() ? "" : found.front();
}

std::vector<std::string> ConfigReader::malformedLines() const {
    auto file = zem::loadStanzaFile(m_configFile);
    return file ? file->problems : std::vector<std::string>{};
}

}  // namespace zemhost
