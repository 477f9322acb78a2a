// The plug-in's answer in words: its status and permission, and what the proxy makes of it.
#include "outcome.h"

#include <cstdio>
#include <optional>

namespace zemhost {

std::string permissionWord(int permission) {
    switch (permission) {
        case AZN_C_PERMITTED: return "AZN_C_PERMITTED";
        case AZN_C_NOT_PERMITTED: return "AZN_C_NOT_PERMITTED";
        case AZN_C_INDIFFERENT: return "AZN_C_INDIFFERENT";
        default: return std::to_string(permission);
    }
}

std::string statusHex(azn_status_t status) {
    char text[24];
    snprintf(text, sizeof text, "0x%lx", status);
    return text;
}

std::string describeStatus(azn_status_t status) {
    char text[96];
    snprintf(text, sizeof text, "status %s (major %u, minor 0x%x)", statusHex(status).c_str(), azn_error_major(status),
             azn_error_minor(status));
    return text;
}

namespace {

const char* const LOCATION_PREFIX = "location: ";

template <typename Value>
std::optional<Value> infoValue(const DecisionResult& result, const std::string& name) {
    for (const InfoEntry& entry : result.permissionInfo) {
        if (entry.name != name) continue;
        if (const Value* value = std::get_if<Value>(&entry.value)) return *value;
    }
    return std::nullopt;
}

std::string redirectLocation(const DecisionResult& result) {
    for (const InfoEntry& entry : result.permissionInfo) {
        const auto* header = std::get_if<std::string>(&entry.value);
        if (entry.name == "HTTP_RESPONSE_HEADERS" && header && header->starts_with(LOCATION_PREFIX)) {
            return header->substr(std::string(LOCATION_PREFIX).size());
        }
    }
    return "";
}

}  // namespace

Outcome classify(const DecisionResult& result) {
    std::optional<unsigned long> code = infoValue<unsigned long>(result, "HTTP_RESPONSE_CODE");
    if (code == 502UL) return Outcome::ErrorPage;
    if (azn_error_major(result.status) != 0) return Outcome::Failure;
    if (code == 302UL) return Outcome::Redirect;
    switch (result.permission) {
        case AZN_C_PERMITTED:
            return infoValue<unsigned long>(result, azn_perminfo_stepup_level) ? Outcome::StepUp : Outcome::Permit;
        case AZN_C_NOT_PERMITTED: return Outcome::Deny;
        case AZN_C_INDIFFERENT: return Outcome::Indifferent;
        default: return Outcome::Failure;
    }
}

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Permit: return "permit";
        case Outcome::StepUp: return "step-up";
        case Outcome::Deny: return "deny";
        case Outcome::Redirect: return "redirect";
        case Outcome::ErrorPage: return "error-page";
        case Outcome::Indifferent: return "indifferent";
        case Outcome::Failure: return "failure";
    }
    return "failure";
}

std::string proxyAction(const DecisionResult& result) {
    switch (classify(result)) {
        case Outcome::Permit: return "serves the resource";
        case Outcome::StepUp:
            return "asks the user to step up to authentication level " +
                   std::to_string(*infoValue<unsigned long>(result, azn_perminfo_stepup_level));
        case Outcome::Deny: return "answers 403 Forbidden";
        case Outcome::Redirect: return "answers 302, redirecting to " + redirectLocation(result);
        case Outcome::ErrorPage: return "answers 502 with the error page";
        case Outcome::Indifferent: return "lets the object's ACL decide";
        case Outcome::Failure:
            return "answers with an error: the decision failed with status " + statusHex(result.status);
    }
    return "";
}

}  // namespace zemhost
