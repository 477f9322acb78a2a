// The decision module: settings, the PDP cluster binding, one authorization and the policy id.
#include "rba/KOVAModule.h"

#include <cstring>
#include <optional>
#include <string_view>

#include "nvwebrte/nvwebrte.h"
#include "rba/KOVAActions.h"
#include "rba/KOVAConfig.h"
#include "rba/KOVARequest.h"
#include "rba/KOVAResponse.h"

static constexpr const char* KOVA_UNIT = "rba/KOVAModule";

static constexpr const char* CONTEXT_SERVER_NAME = "context-server-name";
static constexpr const char* CONTEXT_INHERITED_POP = "context-inherited-pop";
static constexpr const char* POP_ATTACHMENT_ATTRIBUTE = "AZN_EAS_POP_ATTACHMENT_ATTRIBUTE";

namespace {

// The texts initialize reads, each named by its row of SETTINGS.
struct SettingTexts {
    std::string clusterName, applyNativePolicy, contextID, useRealIP, provideOldIDs, corvaneVersion, corvaneServerName,
        specialEAS, permitWhenUnavailable;
};

// One setting read by initialize, in reading order, and the text it fills.
struct SettingRow {
    const char* stanza;
    const char* key;
    bool required;
    std::string SettingTexts::*text;
};

constexpr SettingRow SETTINGS[] = {
    {"kova-eas", "cluster-name", true, &SettingTexts::clusterName},
    {"kova-eas", "apply-zem-native-policy", true, &SettingTexts::applyNativePolicy},
    {"kova-eas", "context-id", false, &SettingTexts::contextID},
    {"kova-eas", "use_real_client_ip", false, &SettingTexts::useRealIP},
    {"kova-eas", "provide_700_attribute_ids", false, &SettingTexts::provideOldIDs},
    {"corvane-config", "version", true, &SettingTexts::corvaneVersion},
    {"server", "server-name", true, &SettingTexts::corvaneServerName},
    {"aznapi-configuration", "special-eas", false, &SettingTexts::specialEAS},
    {"kova-eas", "permit-when-no-kova-available", false, &SettingTexts::permitWhenUnavailable},
};

// Reads one setting into `target`; false when a required one is missing (already reported).
bool readSetting(const char* config_file, const SettingRow& row, std::string& target) {
    char** values = nullptr;
    qzw_load_entry(config_file, row.stanza, nullptr, row.key, &values, 0);
    if (values && values[0]) {
        for (char** value = values; kova_tracing(9) && *value; ++value) KOVA_TRACE(9, "%s = %s", row.key, *value);
        target = values[0];
        qzw_release_entry_data(values);
        return true;
    }
    if (values) qzw_release_entry_data(values);
    if (!row.required) return true;
    KOVA_TRACE(1, "A required configuration entry, %s, under the %s stanza is missing from the configuration file",
               row.key, row.stanza);
    KOVAServiceability::printMessage(QLXBA0303E, row.key, row.stanza);
    return false;
}

// Reads the rows in order into `texts`; stops at the first required one missing, keeping what was read before.
bool readSettings(const char* config_file, SettingTexts& texts) {
    for (const SettingRow& row : SETTINGS) {
        if (!readSetting(config_file, row, texts.*row.text)) return false;
    }
    return true;
}

// An optional boolean: a text that does not parse keeps the default.
void parseOptionalBool(const std::string& text, int& target) {
    if (!text.empty()) nvw_util_unmarshal_bool(text.c_str(), &target);
}

const char* actionFor(const char* operation) {
    if (!operation) return KOVA_UNKNOWN_ACTION;
    for (const KOVAAction& known : KOVA_ACTIONS) {
        if (strcmp(operation, known.operation) == 0) return known.action;
    }
    return KOVA_UNKNOWN_ACTION;
}

// "/Corvane/inst1/app/index.html" gives "/app/index.html"; a name with fewer components gives "/". The view
// is the tail of the name (or a literal), so it also ends in a NUL.
std::string_view resourceWithoutPrefix(const char* protected_resource) {
    if (!protected_resource || !*protected_resource) return "/";
    const char* first = strchr(protected_resource + 1, '/');
    const char* second = first ? strchr(first + 1, '/') : nullptr;
    return second ? std::string_view(second) : std::string_view("/");
}

// Gives the borrowed SOAP handle back to its manager when the decision ends.
struct BorrowedHandle {
    NVWSOAPHandleMgr::HandleRef ref;
    BorrowedHandle() = default;
    BorrowedHandle(const BorrowedHandle&) = delete;
    BorrowedHandle& operator=(const BorrowedHandle&) = delete;
    ~BorrowedHandle() {
        if (ref.container) ref.mgr->returnHandle(ref.container);
        ref = NVWSOAPHandleMgr::HandleRef{};
    }
};

// Frees the response content on every path.
struct ResponseContent {
    orbsec_axiscpp::AnyType* any = nullptr;
    ResponseContent() = default;
    ResponseContent(const ResponseContent&) = delete;
    ResponseContent& operator=(const ResponseContent&) = delete;
    ~ResponseContent() { release(); }
    void release() { kova_eas_cleanup(&any); }
};

}  // namespace

KOVAModule::KOVAModule() {
    KOVA_ENTER("KOVAModule::KOVAModule");
    forgetSettings();
    KOVA_EXIT("KOVAModule::KOVAModule");
}

// A module shut down starts its next start-up from the defaults: a host that keeps the library loaded
// across a restart must not decide with a setting the new configuration no longer holds.
void KOVAModule::forgetSettings() {
    m_contextID.clear();
    m_corvaneVersion.clear();
    m_corvaneServerName.clear();
    m_applyZemNativePolicy = 0;
    m_userealclientip = 1;
    m_hasContextID = false;
    m_provideOldAttrIDs = 0;
    m_hasSpecialEASConfigured = 0;
    m_permitWhenNoKOVAAvail = 0;
}

KOVAModule::~KOVAModule() {
    KOVA_ENTER("KOVAModule::~KOVAModule");
    shutdown();
    KOVA_EXIT("KOVAModule::~KOVAModule");
}

uint32_t KOVAModule::initialize(const char* config_file) {
    static constexpr const char* NAME = "KOVAModule::initialize";
    KOVA_ENTER(NAME);
    if (m_cluster) {
        KOVA_EXIT_STATUS(NAME, 0);
        return 0;
    }
    // The members keep their values for the rows a failed read does not reach.
    SettingTexts texts;
    texts.contextID = m_contextID;
    texts.corvaneVersion = m_corvaneVersion;
    texts.corvaneServerName = m_corvaneServerName;
    bool complete = readSettings(config_file, texts);
    m_contextID = texts.contextID;
    m_corvaneVersion = texts.corvaneVersion;
    m_corvaneServerName = texts.corvaneServerName;
    if (!complete) {
        KOVA_EXIT_STATUS(NAME, KOVA_MISSING_ENTRY);
        return KOVA_MISSING_ENTRY;
    }
    m_hasContextID = !m_contextID.empty();
    KOVA_TRACE(9, "KOVAModule::initialize: Found  context-id in [kova-eas] stanza [%d]", m_hasContextID ? 1 : 0);
    if (kova_tracing(9)) {
        KOVA_TRACE(9, "KOVAModule::initialize: configuration data");
        KOVA_TRACE(9, "\t%20s: %s", "Stanza", "kova-eas");
        for (const SettingRow& row : SETTINGS) KOVA_TRACE(9, "\t%20s: %s", row.key, (texts.*row.text).c_str());
    }

    if (int status = nvw_util_unmarshal_bool(texts.applyNativePolicy.c_str(), &m_applyZemNativePolicy)) {
        KOVA_TRACE(1, "Error determining whether ZEM policy needs to be applied: 0x%x.", status);
        KOVAServiceability::printMessage(QLXBA0304E, status);
        KOVA_EXIT_STATUS(NAME, status);
        return static_cast<uint32_t>(status);
    }
    KOVA_TRACE(9, "%s: useRealIP string found in config file[%s].", NAME, texts.useRealIP.c_str());
    parseOptionalBool(texts.useRealIP, m_userealclientip);
    KOVA_TRACE(9, "%s: m_userealclientip[%d].", NAME, m_userealclientip);
    KOVA_TRACE(9, "%s: provideOldAttrIDs string found in config file[%s].", NAME, texts.provideOldIDs.c_str());
    parseOptionalBool(texts.provideOldIDs, m_provideOldAttrIDs);
    KOVA_TRACE(9, "%s: m_provideOldAttrIDs[%d].", NAME, m_provideOldAttrIDs);
    KOVA_TRACE(9, "%s: special-eas string found in config file[%s].", NAME, texts.specialEAS.c_str());
    m_hasSpecialEASConfigured = !texts.specialEAS.empty();
    KOVA_TRACE(9, "%s: m_hasSpecialEASConfigured[%d].", NAME, m_hasSpecialEASConfigured);
    KOVA_TRACE(9, "%s: %s string found in config file[%s].", NAME, "permit-when-no-kova-available",
               texts.permitWhenUnavailable.c_str());
    parseOptionalBool(texts.permitWhenUnavailable, m_permitWhenNoKOVAAvail);
    KOVA_TRACE(9, "%s: m_permitWhenNoKOVAAvail[%d].", NAME, m_permitWhenNoKOVAAvail);

    if (int status = m_clusterMgr.initialize(&m_serviceFactory, &kova_trace)) {
        KOVA_TRACE(1,
                   "Initialization of cluster manager failed with a status of 0x%x. Did you include the correct "
                   "configuration entries?",
                   status);
        KOVAServiceability::printMessage(QLXBA0305E, status);
        KOVA_EXIT_STATUS(NAME, status);
        return static_cast<uint32_t>(status);
    }
    // The cluster reads its own keys of [kova-eas] through the plug-in's loader.
    static const nvw_soap_config_ops_t ops = {kova_load_entry_with_obfuscation_support, qzw_release_entry_data, nullptr,
                                              nullptr};
    nvw_soap_config_interface_t configInterface = {&ops, config_file, "kova-eas", nullptr};
    kova_take_refused_entry();  // only the entries of this registration count
    int status = m_clusterMgr.addCluster(texts.clusterName.c_str(), true, &configInterface, &m_cluster);
    // An entry the loader refused would leave the cluster without a setting the administrator wrote.
    if (uint32_t refused = kova_take_refused_entry(); status == 0 && refused) status = static_cast<int>(refused);
    if (status) {
        KOVA_TRACE(1, "Failed to add cluster to cluster manager: 0x%x", status);
        KOVAServiceability::printMessage(QLXBA0306E, status);
        m_clusterMgr.shutdown();
        m_cluster = nullptr;
        KOVA_EXIT_STATUS(NAME, status);
        return static_cast<uint32_t>(status);
    }
    KOVA_EXIT_STATUS(NAME, 0);
    return 0;
}

uint32_t KOVAModule::shutdown() {
    KOVA_ENTER("KOVAModule::shutdown");
    if (m_cluster) {
        m_clusterMgr.shutdown();
        m_cluster = nullptr;
    }
    forgetSettings();
    KOVA_EXIT_STATUS("KOVAModule::shutdown", 0);
    return 0;
}

azn_status_t KOVAModule::authorize(azn_creds_h_t creds, azn_attrlist_h_t app_context, const char* protected_resource,
                                   const char* operation, int* permission, azn_attrlist_h_t* permission_info,
                                   KOVAAuditFields* audit_fields) {
    static constexpr const char* NAME = "KOVAModule::authorize";
    std::string policyID, inheritedPOP;
    KOVA_ENTER(NAME);
    kova_audit_add(audit_fields, "server-name", m_corvaneServerName);
    if (!permission) {
        KOVA_EXIT(NAME);
        return azn_util_errcode(AZN_S_INVALID_PERMISSION_REF, 0);
    }
    if (!permission_info) {
        KOVA_TRACE(9, "permission_info is NULL");
        KOVA_EXIT_STATUS(NAME, KOVA_NULL_PERMISSION_INFO);
        return KOVA_NULL_PERMISSION_INFO;
    }
    if (azn_status_t status = usablePermissionList(permission_info)) {
        KOVA_EXIT_STATUS(NAME, azn_error_major(status));
        return azn_error_major(status);
    }
    trc_azn_attr_list("app_context", app_context);
    trc_azn_attr_list("permission_info", *permission_info);

    azn_attrlist_h_t credentials = 0;
    if (azn_status_t status = rba_retrieve_uxcred_attrs(&credentials, creds)) {
        KOVA_EXIT_STATUS(NAME, status);
        return azn_util_errcode(1, static_cast<unsigned int>(status));
    }
    KOVAData data;
    try {
        data.loadData(credentials, app_context);
    } catch (...) {
        azn_attrlist_delete(&credentials);
        throw;
    }
    if (azn_attrlist_delete(&credentials)) KOVA_TRACE(9, "Could not free up memory for creds_attrlist");

    if (findPolicyID(app_context, policyID, inheritedPOP) != 0) {
        policyID = m_corvaneServerName;
        KOVA_TRACE(9, "Using Policy ID[%s] of corvane instance name", policyID.c_str());
    } else {
        KOVA_TRACE(9, "findPolicyID returns policyID[%s], inheritedPOP[%s]", policyID.c_str(), inheritedPOP.c_str());
    }
    std::string_view resource = resourceWithoutPrefix(protected_resource);
    const char* action = actionFor(operation);
    KOVA_TRACE(9,
               "%s: create an KOVARequest: contextID[%s] corvaneVersion[%s] corvaneServerName[%s] "
               "protectedResourceWithoutPrefix[%s] action[%s] inheritedPOP[%s]",
               NAME, policyID.c_str(), m_corvaneVersion.c_str(), m_corvaneServerName.c_str(), resource.data(), action,
               inheritedPOP.c_str());

    KOVARequest request(policyID, m_corvaneVersion, m_corvaneServerName, resource, action, inheritedPOP);
    if (int status = request.formatRequest(data, audit_fields, m_userealclientip, m_provideOldAttrIDs)) {
        // An incomplete document is never sent: the decision fails closed.
        KOVA_EXIT_STATUS(NAME, status);
        return static_cast<azn_status_t>(status);
    }
    BorrowedHandle handle;
    ResponseContent content;
    int status = m_decisionCall.execute(m_cluster, &handle.ref, nullptr, request.getRequestFragments(), &content.any);

    azn_status_t result = 0;
    if (status != 0 || !content.any) {
        // An exchange that ran but brought nothing readable is recorded as the transport records a failure.
        if (status == 0)
            KOVA_TRACE(9, "%s: exchange failed: code[%d] reason[the answer holds no XACML response]", NAME,
                       static_cast<int>(orbsec_axiscpp::CLIENT_SOAP_MALFORMED_RESPONSE));
        content.release();
        result = answerUnreachable(status, permission, permission_info, audit_fields);
    } else {
        KOVAResponse response;
        response.parse(content.any);
        content.release();
        if (const char* decision = response.getDecision()) kova_audit_add(audit_fields, "pdp-decision", decision);
        applyResponse(response, data, permission, permission_info, audit_fields);
    }
    KOVA_EXIT_STATUS(NAME, result);
    return result;
}

azn_status_t KOVAModule::usablePermissionList(azn_attrlist_h_t* permission_info) {
    if (!azn_util_handle_is_valid(*permission_info)) *permission_info = 0;
    return *permission_info ? 0 : azn_attrlist_create(permission_info);
}

void KOVAModule::applyResponse(const KOVAResponse& response, const KOVAData& data, int* permission,
                               azn_attrlist_h_t* permission_info, KOVAAuditFields* audit_fields) {
    static constexpr const char* NAME = "KOVAModule::authorize";
    const char* obligation = response.getObligationID();
    KOVA_TRACE(9, "%s: Returned obligation from kovaResponse [%s]\n", NAME, kova_str(obligation));
    KOVA_TRACE(9, "%s: read PDP answer: decision[%s] obligation[%s]", NAME, kova_str(response.getDecision()),
               kova_str(obligation));
    if (!obligation) {
        if (response.isPermitted()) {
            KOVA_TRACE(9, "PDP says \"Permit\"!");
            *permission = AZN_C_PERMITTED;
        } else {
            KOVA_TRACE(9, "PDP says \"Deny\". Denying...");
            *permission = AZN_C_NOT_PERMITTED;
        }
        return;
    }
    kova_audit_add(audit_fields, "pdp-obligation", obligation);
    KOVA_TRACE(9, "PDP says the following obligation is needed: %s", obligation);

    std::string url;
    if (haveObligationURL(obligation, url) == 0) {
        KOVA_TRACE(9, "%s: Found an obligation to URL[%s] mapping", NAME, url.c_str());
        if (int failed = redirectToObligationURL(url, response, permission, permission_info)) {
            KOVA_TRACE(9, "%s: Setup for redirect failed [%d]", NAME, failed);
            *permission = AZN_C_NOT_PERMITTED;
        } else {
            KOVA_TRACE(9, "%s: All set for redirect", NAME);
        }
        return;
    }
    stepUp(obligation, data, permission, permission_info, audit_fields);
}

void KOVAModule::stepUp(const char* obligation, const KOVAData& data, int* permission,
                        azn_attrlist_h_t* permission_info, KOVAAuditFields* audit_fields) {
    uint32_t required = 0;
    try {
        required = kova_config->getAuthenticationLevel(obligation);
    } catch (const AuthenticationLevelMissingException& e) {
        KOVA_TRACE(9, "Error getting level corresponding to obligation: %s", e.what());
        kova_trace_applied_mapping("KOVAModule::authorize", obligation, nullptr, {}, {});
        *permission = AZN_C_NOT_PERMITTED;
        return;
    }
    int current = 0;
    try {
        current = getCurrentAuthLevel(data);
    } catch (const KOVAException& e) {
        KOVA_TRACE(9, "Exception thrown: %s", e.what());
        *permission = AZN_C_NOT_PERMITTED;
        return;
    }
    KOVA_TRACE(9, "The user is currently authenticated at level %d", current);
    if (static_cast<uint32_t>(current) == required) {
        KOVA_TRACE(9, "The user has successfully authenticated with the Obligation, since the current authentication "
                      "level matches the one that the user has to step up to");
    } else {
        KOVA_TRACE(9, "User is not currently at requested step-up level.Requesting a step-up...");
        if (azn_attrlist_add_entry_ulong(*permission_info, azn_perminfo_stepup_level, required)) {
            // Without the step-up entry the host would let the user in at the current level.
            KOVA_TRACE(1, "Could not add the step-up entry; denying");
            *permission = AZN_C_NOT_PERMITTED;
            return;
        }
        kova_audit_add(audit_fields, "stepup-level", std::to_string(required));
    }
    *permission = AZN_C_PERMITTED;
}

azn_status_t KOVAModule::answerUnreachable(int status, int* permission, azn_attrlist_h_t* permission_info,
                                           KOVAAuditFields* audit_fields) {
    KOVA_TRACE(2, "Could not communicate with KOVA.");
    if (m_permitWhenNoKOVAAvail) {
        KOVA_TRACE(2, "%s PERMIT request since m_permitWhenNoKOVAAvailable is true", "KOVAModule::authorize");
        *permission = AZN_C_PERMITTED;
        kova_audit_add(audit_fields, "pdp-decision", "Permit - permit-when-no-kova-available");
        return 0;
    }
    std::string body;
    KOVAServiceability::formatMessage(body, QLXBA0311W);
    constructResponse(0, body, permission_info);
    // A call that ran but brought no response (a SOAP fault) is still a denial, never the caller's preset.
    if (status == 0) *permission = AZN_C_NOT_PERMITTED;
    return static_cast<azn_status_t>(static_cast<unsigned int>(status));
}

int KOVAModule::getInheritedPOP(azn_attrlist_h_t app_context, std::string& inheritedPOP) {
    static constexpr const char* NAME = "KOVAModule::getInheritedPOP";
    KOVA_ENTER(NAME);
    std::string value;
    int result = 1;
    if (getAttrlistFirstValue(app_context, POP_ATTACHMENT_ATTRIBUTE, value) != 0) {
        KOVA_TRACE(9, "%s: Did not find attribute named[%s] in input appContext.  No inherited POP provided to us.",
                   NAME, POP_ATTACHMENT_ATTRIBUTE);
    } else {
        KOVA_TRACE(9, "%s: Found inherited POP location[%s] in input appContext.", NAME, value.c_str());
        inheritedPOP = value;
        result = 0;
    }
    KOVA_TRACE(6, "Exit %s [%d]", NAME, result);
    return result;
}

int KOVAModule::findPolicyID(azn_attrlist_h_t app_context, std::string& policyID, std::string& inheritedPOP) {
    static constexpr const char* NAME = "KOVAModule::findPolicyID";
    KOVA_ENTER(NAME);
    bool havePOP = getInheritedPOP(app_context, inheritedPOP) == 0;
    int result = 0;
    if (!m_hasContextID) {
        KOVA_TRACE(9, "%s: User didn't set the context-id in the kova-eas stanza of the corvaned.conf file", NAME);
        result = 1;
    } else {
        KOVA_TRACE(9, "%s: context-id exists in the kova-eas stanza of the corvaned.conf file[%s]", NAME,
                   m_contextID.c_str());
        if (m_contextID == CONTEXT_SERVER_NAME) {
            KOVA_TRACE(9, "%s:   it's \"context-server-name\" so use the corvaneInstance name", NAME);
            policyID = m_corvaneServerName;
        } else if (m_contextID == CONTEXT_INHERITED_POP) {
            result = inheritedPOPPolicyID(havePOP, inheritedPOP, policyID);
        } else {
            KOVA_TRACE(9,
                       "%s:   it's neither of the static values we searched for so use the context-id itself[%s] for "
                       "the policy ID",
                       NAME, m_contextID.c_str());
            policyID = m_contextID;
        }
    }
    KOVA_TRACE(6, "Exit %s [%d]", NAME, result);
    return result;
}

int KOVAModule::inheritedPOPPolicyID(bool havePOP, const std::string& inheritedPOP, std::string& policyID) {
    static constexpr const char* NAME = "KOVAModule::findPolicyID";
    KOVA_TRACE(9,
               "%s:   it's \"context-inherited-pop\" so try to get the inherited POP.  m_hasSpecialEASConfigured[%d]",
               NAME, m_hasSpecialEASConfigured);
    if (!m_hasSpecialEASConfigured) {
        KOVA_TRACE(9,
                   "%s: Using context-id of inerited POP but special-eas is not configured.  Configuration error.  "
                   "Use Corvane instance name as the policy ID",
                   NAME);
        KOVAServiceability::printMessage(QLXBA0316W);
        policyID = m_corvaneServerName;
        return 0;
    }
    if (havePOP) {
        KOVA_TRACE(9, "%s: and we have the inherited POP[%s]", NAME, inheritedPOP.c_str());
        policyID = inheritedPOP;
        return 0;
    }
    KOVA_TRACE(1,
               "%s:   ERROR: Using context-id of inerited POP, have special-eas configured but we couldn't find "
               "inherited POP in the appContext.  Will fall back to the Corvane instance name.",
               NAME);
    return 2;
}
