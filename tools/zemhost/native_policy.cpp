#include "native_policy.h"

#include <map>

namespace zemhost {

namespace {

const char* const STANZA = "zemhost-native-policy";

const std::map<std::string, NativeVerdict> VERDICT_WORDS = {
    {"permit", NativeVerdict::Permit},
    {"deny", NativeVerdict::Deny},
    {"indifferent", NativeVerdict::Indifferent},
    {"eas", NativeVerdict::Eas},
};

// Written once before the first decision and cleared after the last: decisions only read them.
const NativePolicy* g_policy = nullptr;
azn_svc_decision_access_allowed_ext_fn g_plugin = nullptr;

azn_status_t nativeDecision(azn_creds_h_t creds, const char* protected_resource, const char* operation,
                            azn_attrlist_h_t app_context, int* permission, azn_attrlist_h_t* permission_info) {
    switch (g_policy->verdictFor(protected_resource ? protected_resource : "")) {
        case NativeVerdict::Permit: *permission = AZN_C_PERMITTED; return 0;
        case NativeVerdict::Deny: *permission = AZN_C_NOT_PERMITTED; return 0;
        case NativeVerdict::Indifferent: *permission = AZN_C_INDIFFERENT; return 0;
        case NativeVerdict::Eas: break;
    }
    azn_status_t status = g_plugin(creds, protected_resource, operation, app_context, permission, permission_info);
    // The service had no opinion, so the object's ACL decides; the harness's ACLs allow everything.
    if (status == 0 && *permission == AZN_C_INDIFFERENT) *permission = AZN_C_PERMITTED;
    return status;
}

}  // namespace

NativePolicy NativePolicy::load(const ConfigReader& config, std::vector<std::string>& problems) {
    NativePolicy policy;
    for (const auto& [prefix, word] : config.stanza(STANZA).value_or(NameValues{})) {
        auto verdict = VERDICT_WORDS.find(word);
        if (verdict == VERDICT_WORDS.end()) {
            problems.push_back("[" + std::string(STANZA) + "] " + prefix + " = " + word +
                               ": expected permit, deny, indifferent or eas");
            continue;
        }
        policy.m_rules.emplace_back(prefix, verdict->second);
    }
    return policy;
}

NativeVerdict NativePolicy::verdictFor(const std::string& protectedObject) const {
    NativeVerdict verdict = NativeVerdict::Eas;
    long longest = -1;
    for (const auto& [prefix, ruleVerdict] : m_rules) {
        if (static_cast<long>(prefix.size()) > longest && protectedObject.starts_with(prefix)) {
            verdict = ruleVerdict;
            longest = static_cast<long>(prefix.size());
        }
    }
    return verdict;
}

void installNativePolicy(const NativePolicy* policy, azn_svc_decision_access_allowed_ext_fn plugin) {
    g_policy = policy;
    g_plugin = plugin;
    zem_set_native_decision(nativeDecision);
}

void removeNativePolicy() {
    zem_set_native_decision(nullptr);
    g_policy = nullptr;
    g_plugin = nullptr;
}

}  // namespace zemhost
