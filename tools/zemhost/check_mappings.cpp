// check-config: the four mapping stanzas and [zemhost-native-policy].
#include <algorithm>
#include <map>
#include <set>

#include "config_checks.h"
#include "native_policy.h"
#include "rba/KOVAConfig.h"
#include "rba/KOVANumber.h"

namespace zemhost {

namespace {

const char* const DECISION_INFO_STANZA = "azn-decision-info";
const char* const USER_ATTRIBUTES_STANZA = "user-attribute-definitions";

const std::set<std::string> DATA_TYPE_WORDS = {"string", "integer", "boolean", "double", "time", "date", "x500name"};
const std::set<std::string> CATEGORY_WORDS = {"Environment", "Subject", "Action", "Resource"};

std::string entryText(const std::string& stanza, const std::string& name, const std::string& value) {
    return "[" + stanza + "] " + name + " = " + value;
}

// The stanza's entries; a missing stanza is noted with what its absence means.
NameValues stanzaOrNotice(const ConfigReader& config, const char* stanza, const char* consequence, Findings& findings) {
    std::optional<NameValues> entries = config.stanza(stanza);
    if (!entries) findings.notice(std::string("[") + stanza + "] is missing (QLXBA0307W at start-up): " + consequence);
    return entries.value_or(NameValues{});
}

void noticeRepeatedNames(const char* stanza, const NameValues& entries, Findings& findings) {
    std::set<std::string> seen;
    for (const auto& [name, value] : entries) {
        if (!seen.insert(name).second)
            findings.notice(entryText(stanza, name, value) + " repeats a name: the first entry is used");
    }
}

// A level as the plug-in converts it at start-up; "" when the whole text is one number within 32 bits.
std::string levelProblem(const std::string& text) {
    KOVANumber number = kova_read_number(text.c_str());
    if (number.error != 0) return "is beyond 32 bits: the plug-in does not start";
    if (!number.digits) return "is not a number: the plug-in reads it as level 0";
    if (number.trailing)
        return "has characters after the number: the plug-in reads it as level " + std::to_string(number.value);
    return "";
}

// The plug-in also reads the table backwards, to name the obligation a user's level satisfied.
void noticeSharedLevels(const NameValues& levels, Findings& findings) {
    std::map<uint32_t, std::string> firstByLevel;
    for (const auto& [obligation, level] : levels) {
        auto [first, inserted] = firstByLevel.emplace(kova_read_number(level.c_str()).value, obligation);
        if (!inserted) {
            findings.notice(entryText(KOVA_LEVELS_STANZA, obligation, level) + " shares its level with " +
                            first->second + ": a user at that level is reported as having met " + first->second);
        }
    }
}

// The first value under `name`, as the plug-in keeps it; null when the name is not there.
const std::string* firstValue(const NameValues& entries, const std::string& name) {
    auto found =
        std::find_if(entries.begin(), entries.end(), [&name](const auto& entry) { return entry.first == name; });
    return found == entries.end() ? nullptr : &found->second;
}

// An overview of the redirects; an obligation mapped to a URL only is the ordinary redirect set-up.
void noticeRedirects(const NameValues& urls, const NameValues& levels, Findings& findings) {
    for (const auto& [obligation, url] : urls) {
        if (obligation.ends_with('*')) {
            findings.notice("obligations starting with " + obligation.substr(0, obligation.size() - 1) +
                            " redirect to " + url + " unless a longer or exact entry applies");
            continue;
        }
        findings.notice("obligation " + obligation + " redirects to " + url +
                        (firstValue(levels, obligation) ? "" : " (no step-up level is mapped to it)"));
    }
}

void checkObligations(const ConfigReader& config, Findings& findings) {
    NameValues urls = stanzaOrNotice(config, KOVA_URLS_STANZA, "no obligation redirects", findings);
    NameValues levels = stanzaOrNotice(config, KOVA_LEVELS_STANZA, "no obligation asks for a step-up", findings);
    noticeRepeatedNames(KOVA_URLS_STANZA, urls, findings);
    noticeRepeatedNames(KOVA_LEVELS_STANZA, levels, findings);
    for (const auto& [obligation, level] : levels) {
        std::string problem = levelProblem(level);
        if (!problem.empty()) findings.problem(entryText(KOVA_LEVELS_STANZA, obligation, level) + " " + problem);
        // A redirect is looked for before a level, so the same name under both never steps up.
        if (const std::string* url = firstValue(urls, obligation)) {
            findings.notice(entryText(KOVA_LEVELS_STANZA, obligation, level) +
                            " is never used: " + entryText(KOVA_URLS_STANZA, obligation, *url) +
                            " redirects this obligation instead of a step-up");
        } else {
            findings.notice("obligation " + obligation + " asks for a step-up to level " + level +
                            " (no redirect URL is mapped to it)");
        }
    }
    noticeRedirects(urls, levels, findings);
    noticeSharedLevels(levels, findings);
}

void checkUserAttributes(const ConfigReader& config, Findings& findings) {
    NameValues entries = stanzaOrNotice(config, USER_ATTRIBUTES_STANZA,
                                        "configured attributes are sent as strings in the Environment", findings);
    for (const auto& [name, value] : entries) {
        if (name.ends_with(".datatype")) {
            if (!DATA_TYPE_WORDS.contains(value)) {
                findings.problem(entryText(USER_ATTRIBUTES_STANZA, name, value) +
                                 " is not a data type (string, integer, boolean, double, time, date, x500name): "
                                 "the attribute is sent as a string");
            }
        } else if (name.ends_with(".category")) {
            if (!CATEGORY_WORDS.contains(value)) {
                findings.problem(entryText(USER_ATTRIBUTES_STANZA, name, value) +
                                 " is not a category (Environment, Subject, Action, Resource): "
                                 "the attribute goes to the Environment");
            }
        } else {
            findings.notice(entryText(USER_ATTRIBUTES_STANZA, name, value) +
                            " is never read: names end in .datatype or .category");
        }
    }
}

}  // namespace

void checkMappings(const ConfigReader& config, Findings& findings) {
    NameValues decisionInfo =
        stanzaOrNotice(config, DECISION_INFO_STANZA,
                       "a request carrying any application-context attribute fails (QLXBA0308W)", findings);
    noticeRepeatedNames(DECISION_INFO_STANZA, decisionInfo, findings);
    checkObligations(config, findings);
    checkUserAttributes(config, findings);
    std::vector<std::string> policyProblems;
    NativePolicy::load(config, policyProblems);
    for (std::string& problem : policyProblems) findings.problem(std::move(problem));
}

}  // namespace zemhost
