// The entry points an external authorization service exports, as the framework calls them.
#pragma once

#include "qzauthzn/azn.h"

extern "C" {
typedef azn_status_t (*azn_svc_initialize_fn)(const char* service_id, int argc, const char** argv,
                                              azn_attrlist_h_t* init_info);
typedef azn_status_t (*azn_svc_shutdown_fn)(azn_attrlist_h_t shutdown_data, azn_attrlist_h_t* shutdown_info);
typedef azn_status_t (*azn_svc_decision_access_allowed_ext_fn)(azn_creds_h_t creds, const char* protected_resource,
                                                               const char* operation, azn_attrlist_h_t app_context,
                                                               int* permission, azn_attrlist_h_t* permission_info);
}
