// The decision module: settings, the binding to the PDP's SOAP cluster, and one authorization.
#pragma once

#include <cstdint>
#include <string>

#include "nvwsoap/nvwsoap.h"
#include "qzauthzn/azn.h"
#include "rba/KOVAData.h"
#include "rba/KOVASOAPCall.h"
#include "rba/kova_eas.h"

class KOVAResponse;

// Minor codes of the framework that the plug-in returns: a null permission-information address, a
// required configuration entry missing, a start-up without a service-information list.
enum : uint32_t {
    KOVA_NULL_PERMISSION_INFO = 0x1005b5ec,
    KOVA_MISSING_ENTRY = 0x1005b3a6,
    KOVA_NULL_INIT_INFO = 0x1005b62f,
};

class KOVAModule {
public:
    KOVAModule();
    ~KOVAModule();
    KOVAModule(const KOVAModule&) = delete;
    KOVAModule& operator=(const KOVAModule&) = delete;

    uint32_t initialize(const char* config_file);
    uint32_t shutdown();

    azn_status_t authorize(azn_creds_h_t creds, azn_attrlist_h_t app_context, const char* protected_resource,
                           const char* operation, int* permission, azn_attrlist_h_t* permission_info,
                           KOVAAuditFields* audit_fields);
    int findPolicyID(azn_attrlist_h_t app_context, std::string& policyID, std::string& inheritedPOP);
    int getInheritedPOP(azn_attrlist_h_t app_context, std::string& inheritedPOP);
    int getCurrentAuthLevel(const KOVAData& data);
    int haveObligationURL(const char* obligation, std::string& url);
    int redirectToObligationURL(const std::string& url, const KOVAResponse& response, int* permission,
                                azn_attrlist_h_t* permission_info);
    azn_status_t constructResponse(int kind, const std::string& body, azn_attrlist_h_t* permission_info);
    int getAttrlistFirstValue(azn_attrlist_h_t list, const char* key, std::string& value);

    bool applyZemNativePolicy() const { return m_applyZemNativePolicy != 0; }
    bool isInitialized() const { return m_cluster != nullptr; }

private:
    // Replaces an invalid permission-information handle and creates the list when there is none.
    static azn_status_t usablePermissionList(azn_attrlist_h_t* permission_info);
    void applyResponse(const KOVAResponse& response, const KOVAData& data, int* permission,
                       azn_attrlist_h_t* permission_info, KOVAAuditFields* audit_fields);
    void stepUp(const char* obligation, const KOVAData& data, int* permission, azn_attrlist_h_t* permission_info,
                KOVAAuditFields* audit_fields);
    azn_status_t answerUnreachable(int status, int* permission, azn_attrlist_h_t* permission_info,
                                   KOVAAuditFields* audit_fields);
    int inheritedPOPPolicyID(bool havePOP, const std::string& inheritedPOP, std::string& policyID);
    void forgetSettings();

    KOVAServiceFactory m_serviceFactory;
    NVWSOAPClusterMgr m_clusterMgr;
    NVWSOAPCluster* m_cluster = nullptr;
    // The same for every decision and only read while one runs, so the request threads share it.
    KOVAServiceCall m_decisionCall{"EvaluateKOVARequest", true, nullptr, &kova_trace};
    std::string m_contextID;
    std::string m_corvaneVersion;
    std::string m_corvaneServerName;
    // Settings: their defaults are set by forgetSettings.
    int m_applyZemNativePolicy;
    int m_userealclientip;
    bool m_hasContextID;
    int m_provideOldAttrIDs;
    int m_hasSpecialEASConfigured;
    int m_permitWhenNoKOVAAvail;
};

azn_status_t rba_retrieve_uxcred_attrs(azn_attrlist_h_t* list, azn_creds_h_t creds);
void trc_azn_attr_list(const char* name, azn_attrlist_h_t list);
