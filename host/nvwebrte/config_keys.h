// Every configuration key the host, the plug-in and the harness read: one declaration used by the
// readers for their ranges, by start-up for its warnings, by check-config and by the guide's tables.
#pragma once

#include <string>
#include <vector>

namespace zem {

struct StanzaFile;

enum class KeyType { Text, Boolean, Number, RedirectUrl, Words };

struct ConfigKey {
    const char* stanza;
    const char* key;  // "*": any name (the stanza is a table of names)
    KeyType type;
    long long minimum;  // Number: the accepted range
    long long maximum;
    const char* words;     // Words: the accepted values, "|"-separated
    const char* fallback;  // the default, "" when required or when absence means off
    bool required;
    bool repeated;       // may be given more than once (all values are read)
    bool decodesObf;     // an obf: value is decoded by the reader
    const char* reader;  // who reads it: plug-in, cluster, zemhost serve, zemhost
};

const std::vector<ConfigKey>& configKeys();
// The declaration of [stanza] key (or of the stanza's "*" row); null when neither exists.
const ConfigKey* findConfigKey(const std::string& stanza, const std::string& key);
// The name among `candidates` with the smallest edit distance to `word` ("" when none is within reach).
std::string closestName(const std::string& word, const std::vector<std::string>& candidates);
// Up to `count` of `candidates`, nearest to `word` first (by edit distance).
std::vector<std::string> nearestNames(const std::string& word, std::vector<std::string> candidates, std::size_t count);
// "" when `value` suits the key's type and range, else what is wrong ("not yes or no", ...).
std::string valueProblem(const ConfigKey& key, const std::string& value);

// Required entries that are missing, and entries of `file` that no reader takes as written: unknown stanzas and keys (with the nearest known
// name), repeated single-valued keys, values outside their type or range, obf: where it is not decoded.
// Each text starts with "[stanza]" or "[stanza] key".
std::vector<std::string> undeclaredEntries(const StanzaFile& file);

}  // namespace zem
