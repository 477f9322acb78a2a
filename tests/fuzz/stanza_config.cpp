// The host's stanza reader over arbitrary text, and the plug-in's configuration tables loaded from the
// same text written to a file: the reader keeps only well-formed stanzas and entries, and the tables
// hold what the reader found in the file (the first value of a repeated key).

#include "fuzz/fuzz_support.h"
#include "nvwebrte/stanza_file.h"
#include "rba/KOVAConfig.h"

namespace {

bool trimmed(const std::string& text) {
    constexpr std::string_view blanks = " \t\r\n";
    return !text.empty() && blanks.find(text.front()) == blanks.npos && blanks.find(text.back()) == blanks.npos;
}

void checkReader(const zem::StanzaFile& file, const std::string& text) {
    for (const zem::Stanza& stanza : file.stanzas) {
        if (!trimmed(stanza.name)) kova_fuzz::broken("stanza name empty or not trimmed", text);
        for (const auto& entry : stanza.entries)
            if (!trimmed(entry.first)) kova_fuzz::broken("entry key empty or not trimmed", text);
    }
    for (const std::string& problem : file.problems)
        if (problem.rfind(kova_fuzz::configPath() + ":", 0) != 0)
            kova_fuzz::broken("problem without file and line", problem);
}

// Every key of `stanza` maps to its first value in `table`.
void checkTable(const zem::StanzaFile& file, const char* stanza, const KOVATextTable& table, const std::string& text) {
    const zem::Stanza* section = file.find(stanza);
    if (!section) return;
    for (const auto& [key, value] : section->entries) {
        auto found = table.find(key);
        if (found == table.end()) kova_fuzz::broken("entry missing from the configuration tables", text);
        if (found->second != file.values(stanza, key).front())
            kova_fuzz::broken("configuration table holds another value than the file", text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kova_fuzz::quietHost();
    kova_fuzz::configPath();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    zem::StanzaFile file = zem::parseStanzaText(text, kova_fuzz::configPath());
    checkReader(file, text);

    kova_fuzz::writeConfig(text);
    try {
        KOVAConfig config(kova_fuzz::configPath().c_str());
        // Texts reach the tables as C texts, so a NUL byte shortens them; compare only without one.
        if (text.find('\0') != std::string::npos) return 0;
        checkTable(file, "azn-decision-info", config.appContextToHeader, text);
        checkTable(file, "user-attribute-definitions", config.userAttributeDefinitions, text);
    } catch (const KOVAException&) {
        // A level beyond 32 bits abandons the tables; start-up then fails, as it should.
    }
    return 0;
}
