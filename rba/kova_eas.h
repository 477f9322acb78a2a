// Process-wide state of the plug-in, its exception family, the configuration entry loader, number
// conversion, the audit record, the message catalogue and the trace helpers.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

#include "nvwsoap/nvwsoap.h"
#include "orbsec_axiscpp/axis.h"
#include "qzauthzn/azn.h"
#include "qzsvc/qzsvc.h"

#define KOVA_EXPORT __attribute__((visibility("default")))

class KOVAModule;
class KOVAConfig;

// The plug-in's version: the serviceability program name and the service-version entry's value.
extern const char* const KOVA_VERSION_TEXT;

// ----------------------------------------------------------------------------------------------------
// Exceptions. Each carries one text, returned by what().
class KOVAException : public std::exception {
public:
    explicit KOVAException(std::string text) : m_text(std::move(text)) {}
    KOVAException(const KOVAException&) = default;
    ~KOVAException() override = default;
    const char* what() const noexcept override { return m_text.c_str(); }

private:
    std::string m_text;
};

// clang-format off
class StanzaMissingException : public KOVAException { using KOVAException::KOVAException; };
class HeaderNameMissingException : public KOVAException { using KOVAException::KOVAException; };
class AuthenticationLevelMissingException : public KOVAException { using KOVAException::KOVAException; };
class ObligationMissingException : public KOVAException { using KOVAException::KOVAException; };
class ParseException : public KOVAException { using KOVAException::KOVAException; };

// ----------------------------------------------------------------------------------------------------
// Message catalogue identifiers.
enum : uint32_t {
    KOVA_MSG_BASE = 0x36A68000,
    QLXBA0150 = KOVA_MSG_BASE + 150,   // the sub-component's description
    QLXBA0300W = KOVA_MSG_BASE + 300,
    QLXBA0301I, QLXBA0302I, QLXBA0303E, QLXBA0304E, QLXBA0305E, QLXBA0306E, QLXBA0307W, QLXBA0308W,
    QLXBA0309W, QLXBA0310W, QLXBA0311W, QLXBA0312W, QLXBA0313E, QLXBA0314E, QLXBA0315E, QLXBA0316W,
};
// clang-format on

// Registers the catalogue on first construction and prints catalogue messages. Printing uses no
// member state, so it also works through a null pointer.
class KOVAServiceability {
public:
    explicit KOVAServiceability(const char* programName);
    ~KOVAServiceability();
    KOVAServiceability(const KOVAServiceability&) = delete;
    KOVAServiceability& operator=(const KOVAServiceability&) = delete;

    static int32_t instances() { return s_instances; }
    static int printMessage(uint32_t id, ...);
    static int formatMessage(std::string& out, uint32_t id, ...);

private:
    static int32_t s_instances;
};

extern "C" {
extern KOVA_EXPORT qz_svc_subcomp_t rba_svc_table[];
extern KOVA_EXPORT qz_msg_entry_t rba_svc_g_table[18];
extern KOVA_EXPORT qz_svc_handle_t rba_svc_handle;
}

// ----------------------------------------------------------------------------------------------------
// Audit fields of one decision: names unique and in byte order; the first value added under a name stays.
typedef std::map<std::string, std::string> KOVAAuditFields;

// Adds the field unless `fields` is null or already holds the name.
void kova_audit_add(KOVAAuditFields* fields, const char* name, const std::string& value);
// Writes one "<kova-event>" record to the audit sink.
void kova_audit_write(const KOVAAuditFields& fields);
// The record text of the table.
std::string kova_audit_record(const KOVAAuditFields& fields);

// ----------------------------------------------------------------------------------------------------
// Process-wide objects.
extern NVWSOAPTrace kova_trace;
extern KOVAModule kova_module;
extern KOVAServiceability* kova_svc;
extern KOVAConfig* kova_config;
extern void* kova_audit_agent;
extern void* kova_audit_sink;

// ----------------------------------------------------------------------------------------------------
// The entry loader handed to the cluster library; same contract as qzw_load_entry. Returns 1 with a
// malloc'd null-terminated array of strdup'd values, or 0 when the entry is missing (QLXBA0303E unless
// `optional`) or memory ran out (QLXBA0315E, *values null).
extern "C" int kova_load_entry_with_obfuscation_support(const char* config_file, const char* stanza,
                                                        const char* qualifier, const char* key, char*** values,
                                                        int optional);

// The status of the last entry the loader refused since the previous call (an obfuscated value that does
// not decode, already reported with QLXBA0300W), or 0; the call clears it. Start-up fails on it.
uint32_t kova_take_refused_entry();

// Text to unsigned 32-bit number with automatic base; trailing characters are ignored. A number that
// does not fit in 32 bits raises ParseException.
uint32_t kova_strtoul(const char* text);

// Frees a response any-content (each piece, the array, the object) and nulls the pointer.
void kova_eas_cleanup(orbsec_axiscpp::AnyType** holder);

// The decision core behind the exported decision function.
azn_status_t kova_decide(azn_creds_h_t creds, const char* protected_resource, const char* operation,
                         azn_attrlist_h_t app_context, int* permission, azn_attrlist_h_t* permission_info,
                         KOVAAuditFields* audit_fields);

// ----------------------------------------------------------------------------------------------------
// Trace helpers. Each source unit defines `static constexpr const char* KOVA_UNIT = "rba/<unit>";`.
// A line is formatted only when the channel's level asks for it.
inline bool kova_tracing(int level) { return kova_trace.level() >= level; }

#define KOVA_TRACE(level, ...)                                                                \
    do {                                                                                      \
        if (kova_tracing(level)) kova_trace.trace((level), KOVA_UNIT, __LINE__, __VA_ARGS__); \
    } while (0)
#define KOVA_ENTER(name) KOVA_TRACE(6, "Enter %s", (name))
#define KOVA_EXIT(name) KOVA_TRACE(6, "Exit %s", (name))
#define KOVA_EXIT_STATUS(name, status) KOVA_TRACE(6, "Exit %s (0x%x)", (name), static_cast<unsigned>(status))

// "NULL" for a null text, for trace arguments.
inline const char* kova_str(const char* text) { return text ? text : "NULL"; }

// ----------------------------------------------------------------------------------------------------
// C boundaries. No C++ exception leaves the plug-in through a function the host calls as C: its body
// runs inside kova_c_boundary, and an exception escaping it is reported with the catalogue message that
// fits (QLXBA0315E when memory ran out, QLXBA0300W with the exception's text otherwise) and becomes
// `failure`.
void kova_report_escaped_exception(const char* entry) noexcept;  // inside a catch block only

template <typename Result, typename Body>
Result kova_c_boundary(const char* entry, Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        kova_report_escaped_exception(entry);
        return failure;
    }
}

// Exported entry points.
extern "C" {
KOVA_EXPORT azn_status_t azn_svc_initialize(const char* service_id, int argc, const char** argv,
                                            azn_attrlist_h_t* init_info);
KOVA_EXPORT azn_status_t azn_svc_shutdown(azn_attrlist_h_t shutdown_data, azn_attrlist_h_t* shutdown_info);
KOVA_EXPORT azn_status_t azn_svc_decision_access_allowed_ext(azn_creds_h_t creds, const char* protected_resource,
                                                             const char* operation, azn_attrlist_h_t app_context,
                                                             int* permission, azn_attrlist_h_t* permission_info);
}
