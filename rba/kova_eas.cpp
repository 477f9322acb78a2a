// Entry points of the plug-in: start-up, shutdown and the decision, with the process-wide state.
#include "rba/kova_eas.h"

#include <ctime>
#include <new>

#include "nvwebrte/nvwebrte.h"
#include "qzcore/qzcore.h"
#include "rba/KOVAConfig.h"
#include "rba/KOVAModule.h"

static constexpr const char* KOVA_UNIT = "rba/kova_eas";

const char* const KOVA_VERSION_TEXT = "ZEM KOVA External Authorization Server v1.0";

static constexpr const char* KOVA_CALLER_MARKER = "caller_is_kova_eas";

// The trace channel is constructed first: the module traces from its constructor.
NVWSOAPTrace kova_trace;
KOVAModule kova_module;
KOVAServiceability* kova_svc = nullptr;
KOVAConfig* kova_config = nullptr;
void* kova_audit_agent = nullptr;
void* kova_audit_sink = nullptr;

namespace {

// The first value of an entry of [kova-eas], or null; `values` must be released by the caller.
const char* firstValue(char** values) { return values && values[0] ? values[0] : nullptr; }

// Starts the audit agent when "audit-log-cfg" holds a non-empty text.
void startAuditing(const char* config_file) {
    char** values = nullptr;
    qzw_load_entry(config_file, "kova-eas", nullptr, "audit-log-cfg", &values, 0);
    const char* configuration = firstValue(values);
    if (configuration && *configuration) {
        kova_audit_agent = QZLogConfigureAgent("kova.audit", configuration);
        kova_audit_sink = QZLogAttachSink("kova.audit");
    }
    if (values) qzw_release_entry_data(values);
}

azn_status_t addServiceVersion(azn_attrlist_h_t* init_info) {
    bool created = *init_info == 0;
    if (created) azn_attrlist_create(init_info);
    azn_status_t status = azn_attrlist_add_entry(*init_info, azn_svc_version, KOVA_VERSION_TEXT);
    if (status && created) azn_attrlist_delete(init_info);
    return status ? status : azn_util_errcode(0, 0);
}

const char* permissionName(int permission) {
    switch (permission) {
        case AZN_C_PERMITTED: return "AZN_C_PERMITTED";
        case AZN_C_NOT_PERMITTED: return "AZN_C_NOT_PERMITTED";
        case AZN_C_INDIFFERENT: return "AZN_C_INDIFFERENT";
        default: return nullptr;
    }
}

// "2026-12-04 20:24:14 GMT"
std::string auditTimestamp() {
    time_t now = time(nullptr);
    struct tm parts;
    gmtime_r(&now, &parts);
    char text[40];
    snprintf(text, sizeof text, "%d-%02d-%02d %02d:%02d:%02d GMT", parts.tm_year + 1900, parts.tm_mon + 1,
             parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

// Lets the framework's native policy decide first. Returns true when the decision is settled here
// (inner call, failure or native denial), with its status in `status`.
bool nativePolicySettles(azn_creds_h_t creds, const char* protected_resource, const char* operation,
                         azn_attrlist_h_t app_context, int* permission, azn_attrlist_h_t* permission_info,
                         KOVAAuditFields* audit_fields, azn_status_t& status) {
    static constexpr const char* NAME = "azn_svc_decision_access_allowed_ext";
    KOVA_TRACE(9, "ZEM native policy enforcement is enabled.");
    azn_string_t marker = nullptr;
    status = azn_attrlist_get_entry_string_value(app_context, KOVA_CALLER_MARKER, 0, &marker);
    azn_release_string(&marker);
    if (status == 0) {
        KOVA_TRACE(9, "EAS called the second time .. returning INDIFFERENT.");
        *permission = AZN_C_INDIFFERENT;
        KOVA_EXIT_STATUS(NAME, 0);
        return true;
    }
    if (azn_error_major(status) != AZN_S_INVALID_ATTR_NAME) {
        KOVA_TRACE(9, "Problem retrieving custom attribute denoting the caller.");
        KOVA_EXIT_STATUS(NAME, status);
        return true;
    }
    KOVA_TRACE(9, "EAS Called the first time. Adding an attribute entry to denote that the EAS is the caller");
    status = azn_attrlist_add_entry(app_context, KOVA_CALLER_MARKER, KOVA_CALLER_MARKER);
    if (status == 0) {
        KOVA_TRACE(9, "Now calling azn_decision_access_allowed_ext()...");
        status = azn_decision_access_allowed_ext(creds, protected_resource, operation, app_context, permission,
                                                 permission_info);
    }
    if (status == 0) status = azn_attrlist_delete_entry(app_context, KOVA_CALLER_MARKER);
    if (status != 0) {
        KOVA_EXIT_STATUS(NAME, status);
        return true;
    }
    if (const char* name = permissionName(*permission)) kova_audit_add(audit_fields, "zem-policy-decision", name);
    KOVA_TRACE(9, "Returned from azn_decision_access_allowed_ext call.  Checking permission now...");
    if (*permission == AZN_C_NOT_PERMITTED) {
        KOVA_TRACE(5, "ZEM says not permitted. Returning with AZN_C_NOT_PERMITTED");
        return true;
    }
    KOVA_TRACE(5, "ZEM permission is permitted");
    return false;
}

}  // namespace

azn_status_t kova_decide(azn_creds_h_t creds, const char* protected_resource, const char* operation,
                         azn_attrlist_h_t app_context, int* permission, azn_attrlist_h_t* permission_info,
                         KOVAAuditFields* audit_fields) {
    static constexpr const char* NAME = "azn_svc_decision_access_allowed_ext";
    KOVA_ENTER(NAME);
    azn_status_t status = 0;
    try {
        if (kova_module.applyZemNativePolicy() &&
            nativePolicySettles(creds, protected_resource, operation, app_context, permission, permission_info,
                                audit_fields, status)) {
            return status;
        }
        azn_status_t st = kova_module.authorize(creds, app_context, protected_resource, operation, permission,
                                                permission_info, audit_fields);
        KOVA_EXIT_STATUS(NAME, st);
        // A status that does not fit the minor code still leaves as a failure (major 1).
        return st ? azn_util_errcode(1, static_cast<unsigned int>(st)) : azn_util_errcode(0, 0);
    } catch (const KOVAException& e) {
        KOVA_TRACE(1, "Caught KOVAException: %s\n. Exiting...", e.what());
        KOVAServiceability::printMessage(QLXBA0300W, e.what());
        KOVA_EXIT_STATUS(NAME, status);
        return azn_util_errcode(1, static_cast<unsigned int>(status));
    }
}

namespace {

azn_status_t startUp(azn_attrlist_h_t* init_info) {
    kova_svc = new (std::nothrow) KOVAServiceability(KOVA_VERSION_TEXT);
    KOVAServiceability::printMessage(QLXBA0301I);
    if (!init_info) return azn_util_errcode(1, KOVA_NULL_INIT_INFO);

    const char* config_file = MrDomainMan::hey()->getCurrentServerConfig()->getConfigFilePath();

    char** values = nullptr;
    qzw_load_entry(config_file, "kova-eas", nullptr, "trace-component", &values, 0);
    if (!firstValue(values)) {
        KOVAServiceability::printMessage(QLXBA0303E, "trace-component", "kova-eas");
        if (values) qzw_release_entry_data(values);
        return azn_util_errcode(1, KOVA_MISSING_ENTRY);
    }
    kova_trace.initialize(values[0]);
    qzw_release_entry_data(values);

    startAuditing(config_file);

    if (uint32_t st = kova_module.initialize(config_file)) {
        kova_trace.shutdown();
        return azn_util_errcode(1, st);
    }
    try {
        kova_config = new KOVAConfig(config_file);
    } catch (const KOVAException&) {
        return azn_util_errcode(1, 0);
    }
    return addServiceVersion(init_info);
}

azn_status_t shutDown() {
    KOVAServiceability::printMessage(QLXBA0302I);
    kova_module.shutdown();
    kova_trace.shutdown();
    delete kova_svc;
    kova_svc = nullptr;
    delete kova_config;
    kova_config = nullptr;
    if (kova_audit_agent) {
        QZLogDestroyAgent(&kova_audit_agent);
        if (kova_audit_sink) QZLogDetachSink(&kova_audit_sink);
    }
    return azn_util_errcode(0, 0);
}

azn_status_t decideAndAudit(azn_creds_h_t creds, const char* protected_resource, const char* operation,
                            azn_attrlist_h_t app_context, int* permission, azn_attrlist_h_t* permission_info) {
    KOVAAuditFields fields;
    azn_status_t status = kova_decide(creds, protected_resource, operation, app_context, permission, permission_info,
                                      kova_audit_sink ? &fields : nullptr);
    if (fields.empty()) return status;
    kova_audit_add(&fields, "protected-resource", protected_resource ? protected_resource : "");
    kova_audit_add(&fields, "operation", operation ? operation : "");
    kova_audit_add(&fields, "timestamp", auditTimestamp());
    kova_audit_write(fields);
    return status;
}

}  // namespace

extern "C" {

azn_status_t azn_svc_initialize(const char* service_id, int argc, const char** argv, azn_attrlist_h_t* init_info) {
    return kova_c_boundary("azn_svc_initialize", azn_util_errcode(1, 0), [&] { return startUp(init_info); });
}

azn_status_t azn_svc_shutdown(azn_attrlist_h_t shutdown_data, azn_attrlist_h_t* shutdown_info) {
    return kova_c_boundary("azn_svc_shutdown", azn_util_errcode(1, 0), [] { return shutDown(); });
}

// A decision that ends in an exception is a failure: the framework does not serve the request.
azn_status_t azn_svc_decision_access_allowed_ext(azn_creds_h_t creds, const char* protected_resource,
                                                 const char* operation, azn_attrlist_h_t app_context, int* permission,
                                                 azn_attrlist_h_t* permission_info) {
    return kova_c_boundary("azn_svc_decision_access_allowed_ext", azn_util_errcode(1, 0), [&] {
        return decideAndAudit(creds, protected_resource, operation, app_context, permission, permission_info);
    });
}
}
