// check-config: the entries of [kova-eas] and of the proxy's own stanzas that the plug-in reads.
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "config_checks.h"
#include "nvaudutl/nvaudutl.h"
#include "nvwebrte/nvwebrte.h"

namespace zemhost {

const char* const KOVA_STANZA = "kova-eas";

namespace {

struct EntryName {
    const char* stanza;
    const char* key;
    // Appended, not inserted: GCC 12 at -O3 reports a false -Wrestrict for "[" + std::string(...).
    std::string text() const { return std::string("[") + stanza + "] " + key; }
};

// Start-up fails without these.
const EntryName REQUIRED[] = {
    {KOVA_STANZA, "trace-component"}, {KOVA_STANZA, "cluster-name"}, {KOVA_STANZA, "apply-zem-native-policy"},
    {KOVA_STANZA, "server"},          {"corvane-config", "version"}, {"server", "server-name"},
};

// The plug-in silently keeps its default when one of these does not parse.
const char* const OPTIONAL_BOOLEANS[] = {"use_real_client_ip", "provide_700_attribute_ids",
                                         "permit-when-no-kova-available", "ssl-verify-peer"};

struct NumberEntry {
    const char* key;
    unsigned long minimum;
};
const NumberEntry NUMBERS[] = {{"timeout", 1}, {"max-handles", 1}, {"handle-idle-timeout", 0}, {"health-check-interval", 0}};

const char* const CERTIFICATE_FILES[] = {"ssl-ca-file", "ssl-cert-file", "ssl-key-file"};

void checkRequired(const ConfigReader& config, Findings& findings) {
    for (const EntryName& entry : REQUIRED) {
        std::vector<std::string> values = config.values(entry.stanza, entry.key);
        if (values.empty()) {
            findings.problem(entry.text() + " is missing: the plug-in does not start without it");
        } else if (values.front().empty()) {
            findings.problem(entry.text() + " has no value");
        }
    }
}

bool parsesAsBoolean(const std::string& text) {
    int value = 0;
    return nvw_util_unmarshal_bool(text.c_str(), &value) == 0;
}

const char* const BOOLEAN_WORDS = "yes/no, true/false, on/off or 1/0";

void checkBooleans(const ConfigReader& config, Findings& findings) {
    std::string native = config.first(KOVA_STANZA, "apply-zem-native-policy");
    if (!native.empty() && !parsesAsBoolean(native)) {
        findings.problem("[kova-eas] apply-zem-native-policy = " + native + " is not " + BOOLEAN_WORDS +
                         ": the plug-in does not start (QLXBA0304E)");
    }
    for (const char* key : OPTIONAL_BOOLEANS) {
        std::string text = config.first(KOVA_STANZA, key);
        if (!text.empty() && !parsesAsBoolean(text)) {
            findings.problem("[kova-eas] " + std::string(key) + " = " + text + " is not " + BOOLEAN_WORDS +
                             ": it is ignored and the default applies");
        }
    }
}

void checkNumbers(const ConfigReader& config, Findings& findings) {
    for (const NumberEntry& entry : NUMBERS) {
        std::string text = config.first(KOVA_STANZA, entry.key);
        if (text.empty()) continue;
        bool whole = text.find_first_not_of("0123456789") == std::string::npos && text.size() <= 9;
        if (!whole || std::stoul(text) < entry.minimum) {
            findings.problem("[kova-eas] " + std::string(entry.key) + " = " + text + " is not a whole number of at least " +
                             std::to_string(entry.minimum));
        }
    }
}

void checkCertificateFiles(const ConfigReader& config, Findings& findings) {
    for (const char* key : CERTIFICATE_FILES) {
        std::string path = config.first(KOVA_STANZA, key);
        if (!path.empty() && access(path.c_str(), R_OK) != 0) {
            findings.problem("[kova-eas] " + std::string(key) + " = " + path + " cannot be read: " + strerror(errno));
        }
    }
}

void checkBasicAuthentication(const ConfigReader& config, Findings& findings) {
    bool user = !config.first(KOVA_STANZA, "basic-auth-user").empty();
    bool password = !config.first(KOVA_STANZA, "basic-auth-passwd").empty();
    if (user != password) {
        findings.problem(std::string("[kova-eas] ") + (user ? "basic-auth-user" : "basic-auth-passwd") + " is set but " +
                         (user ? "basic-auth-passwd" : "basic-auth-user") +
                         " is not: no basic authentication is sent without both");
    }
}

// Auditing is off without the entry; a sink that cannot be written is only reported at start-up.
void checkAudit(const ConfigReader& config, Findings& findings) {
    std::string text = config.first(KOVA_STANZA, "audit-log-cfg");
    if (text.empty()) return;
    std::filesystem::path path = zem_audit_file_path(text.c_str());
    if (path.empty()) {
        findings.problem("[kova-eas] audit-log-cfg = " + text +
                         " does not name a file (expected: file path=PATH, or path=\"PATH\" with blanks)");
        return;
    }
    std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    bool writable = std::filesystem::exists(path) ? access(path.c_str(), W_OK) == 0 : access(folder.c_str(), W_OK) == 0;
    if (!writable) findings.problem("[kova-eas] audit-log-cfg: the audit file " + path.string() + " cannot be written");
}

void checkContextId(const ConfigReader& config, Findings& findings) {
    if (config.first(KOVA_STANZA, "context-id") == "context-inherited-pop" &&
        config.first("aznapi-configuration", "special-eas").empty()) {
        findings.problem("[kova-eas] context-id = context-inherited-pop needs [aznapi-configuration] special-eas: "
                         "every decision falls back to the server name and prints QLXBA0316W");
    }
}

}  // namespace

std::size_t Findings::problems() const {
    std::size_t count = 0;
    for (const Item& item : m_items) count += item.kind == PROBLEM ? 1 : 0;
    return count;
}

void checkEntries(const ConfigReader& config, Findings& findings) {
    for (const std::string& line : config.malformedLines()) findings.problem(line);
    checkRequired(config, findings);
    checkBooleans(config, findings);
    checkNumbers(config, findings);
    checkCertificateFiles(config, findings);
    checkBasicAuthentication(config, findings);
    checkAudit(config, findings);
    checkContextId(config, findings);
}

}  // namespace zemhost
