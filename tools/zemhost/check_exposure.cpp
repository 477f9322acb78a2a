// check-config: what leaves a request open to a requester or to a broken PDP, and entries the plug-in
// cannot read.
#include "config_checks.h"
#include "nvwebrte/nvwebrte.h"

namespace zemhost {

namespace {

struct RawField {
    const char* stanza;
    const char* key;
};

// Configured texts the plug-in writes into every request document as they are, without XML escaping
// (server name, proxy version, and a context-id that is neither of its two keywords).
const RawField RAW_FIELDS[] = {{"server", "server-name"}, {"corvane-config", "version"}, {KOVA_STANZA, "context-id"}};

// Characters that end the text or attribute value they stand in, or start markup.
const char* const MARKUP_CHARACTERS = "<&\"'";

void checkUnreadableEntries(const ConfigReader& config, Findings& findings) {
    for (const std::string& problem : config.unreadableEntries(KOVA_STANZA)) {
        findings.problem(problem + ": the plug-in does not start (QLXBA0300W, then QLXBA0306E)");
    }
}

void checkPermitWhenUnavailable(const ConfigReader& config, Findings& findings) {
    int permit = 0;
    std::string text = config.first(KOVA_STANZA, "permit-when-no-kova-available");
    if (text.empty() || nvw_util_unmarshal_bool(text.c_str(), &permit) != 0 || !permit) return;
    findings.warning("[kova-eas] permit-when-no-kova-available = " + text +
                     ": every request is permitted whenever no PDP answer is read - PDP down, time-out, SOAP fault, "
                     "an answer that is no XACML response, no free handle - and a requester who can make the PDP "
                     "fail turns a denial into a permit");
}

void checkRawFields(const ConfigReader& config, Findings& findings) {
    for (const RawField& field : RAW_FIELDS) {
        std::string text = config.first(field.stanza, field.key);
        if (text.find_first_of(MARKUP_CHARACTERS) == std::string::npos) continue;
        findings.warning("[" + std::string(field.stanza) + "] " + field.key + " = " + text +
                         " holds < & \" or ': it goes into every request document unescaped, so the PDP reads "
                         "another document than the one meant, or none");
    }
}

}  // namespace

void checkExposure(const ConfigReader& config, Findings& findings) {
    checkUnreadableEntries(config, findings);
    checkPermitWhenUnavailable(config, findings);
    checkRawFields(config, findings);
}

}  // namespace zemhost
