// Authorization framework (AZN API with the framework's extensions): the part the plug-in calls.
//
// Handles are opaque numbers registered in a process-wide, thread-safe table, so that
// azn_util_handle_is_valid answers truthfully. A status word carries the major code in its upper
// 32 bits and the minor code in its lower 32 bits; 0 is success.
#pragma once

#include <cstdarg>

typedef unsigned long azn_status_t;
typedef unsigned long azn_attrlist_h_t;
typedef unsigned long azn_creds_h_t;
typedef char* azn_string_t;

// Permission values written by a decision.
enum { AZN_C_PERMITTED = 0, AZN_C_NOT_PERMITTED = 1, AZN_C_INDIFFERENT = -1 };

// Major codes of the status word.
enum {
    AZN_S_COMPLETE = 0,
    AZN_S_FAILURE = 1,
    AZN_S_INVALID_ATTRLIST_HANDLE = 4,
    AZN_S_INVALID_CREDS_HANDLE = 5,
    AZN_S_INVALID_STRING_VALUE = 7,
    AZN_S_INVALID_ATTR_NAME = 21,           // the entry is absent
    AZN_S_ATTR_INVALID_INDEX = 22,          // no value at that index
    AZN_S_ATTR_VALUE_NOT_STRING_TYPE = 23,  // the value at that index is numeric
    AZN_S_ATTR_VALUE_NOT_ULONG_TYPE = 24,
    AZN_S_INVALID_PERMISSION_REF = 28,
};

// Value kinds of an attribute-list entry value.
enum { AZN_TYPE_STRING = 1, AZN_TYPE_ULONG = 2 };

extern "C" {

// Names of framework entries.
extern const char* azn_svc_version;            // service-information entry: the plug-in's version text
extern const char* azn_perminfo_stepup_level;  // permission information: requested authentication level

azn_status_t azn_util_errcode(unsigned int major, unsigned int minor);
unsigned int azn_error_major(azn_status_t status);
unsigned int azn_error_minor(azn_status_t status);
// A newly allocated text describing the status; release it with azn_release_string.
azn_status_t azn_error_get_string(azn_status_t status, azn_string_t* text);
int azn_util_handle_is_valid(unsigned long handle);

azn_status_t azn_attrlist_create(azn_attrlist_h_t* new_list);
azn_status_t azn_attrlist_delete(azn_attrlist_h_t* list);
azn_status_t azn_attrlist_add_entry(azn_attrlist_h_t list, const char* name, const char* value);
azn_status_t azn_attrlist_add_entry_ulong(azn_attrlist_h_t list, const char* name, unsigned long value);
// Entry names in insertion order, as a null-terminated array; release it whole with azn_release_strings (the
// names live in the array's block and are not released one by one).
azn_status_t azn_attrlist_get_names(azn_attrlist_h_t list, azn_string_t** names);
azn_status_t azn_attrlist_name_get_num(azn_attrlist_h_t list, const char* name, unsigned int* count);
// A copy of the text value (null when the entry holds a null text); release it with azn_release_string.
azn_status_t azn_attrlist_get_entry_string_value(azn_attrlist_h_t list, const char* name, unsigned int index,
                                                 azn_string_t* value);
azn_status_t azn_attrlist_get_entry_ulong_value(azn_attrlist_h_t list, const char* name, unsigned int index,
                                                unsigned long* value);
azn_status_t azn_attrlist_get_entry_value_type(azn_attrlist_h_t list, const char* name, unsigned int index, int* type);
azn_status_t azn_attrlist_delete_entry(azn_attrlist_h_t list, const char* name);

// Credentials: one subject per credentials handle in this host. The creation call copies the list.
azn_status_t azn_creds_create_from_attrlist(azn_attrlist_h_t attributes, azn_creds_h_t* creds);
azn_status_t azn_creds_delete(azn_creds_h_t* creds);
// Copies the subject's attributes into `list`, which the caller has created.
azn_status_t azn_creds_get_attrlist_for_subject(azn_creds_h_t creds, unsigned int subject_index,
                                                azn_attrlist_h_t* list);

void azn_release_string(azn_string_t* text);
void azn_release_strings(azn_string_t** texts);

// The framework's own (native) decision. The host that embeds the framework installs the policy
// hook; without one the native policy is indifferent.
azn_status_t azn_decision_access_allowed_ext(azn_creds_h_t creds, const char* protected_resource, const char* operation,
                                             azn_attrlist_h_t app_context, int* permission,
                                             azn_attrlist_h_t* permission_info);
typedef azn_status_t (*zem_native_decision_fn)(azn_creds_h_t creds, const char* protected_resource,
                                               const char* operation, azn_attrlist_h_t app_context, int* permission,
                                               azn_attrlist_h_t* permission_info);
void zem_set_native_decision(zem_native_decision_fn decide);

// Fault injection for tests of the failure paths: the next `count` calls of the named framework
// operation made on this thread, after skipping `after` of them, fail with AZN_S_FAILURE.
void zem_fail_calls(const char* operation, int after, int count);
void zem_clear_failures(void);
// For the other host libraries' seams: non-zero when this call of `operation` is to fail.
int zem_injected_failure(const char* operation);

// Audit agent and sink ("kova.audit"); see host/nvaudutl for the events written to the sink.
void* QZLogConfigureAgent(const char* name, const char* configuration);
void* QZLogAttachSink(const char* name);
void QZLogDestroyAgent(void** agent);
void QZLogDetachSink(void** sink);
}
