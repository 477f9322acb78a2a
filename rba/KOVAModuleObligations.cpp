// The decision module's obligation handling (redirect, step-up level, error page) and its
// attribute-list helpers.
#include <cstring>

#include "rba/KOVAConfig.h"
#include "rba/KOVAModule.h"
#include "rba/KOVAResponse.h"

static constexpr const char* KOVA_UNIT = "rba/KOVAModule";

namespace {

// HTTP codes of the error responses the module can ask the proxy to send, by kind.
constexpr unsigned long RESPONSE_KIND_CODES[] = {
    502,  // 0: the PDP cannot be reached
};

constexpr const char* AUTHENTICATION_LEVEL = "AUTHENTICATION_LEVEL";

}  // namespace

int KOVAModule::getCurrentAuthLevel(const KOVAData& data) {
    static constexpr const char* NAME = "KOVAModule::getCurrentAuthLevel";
    KOVA_ENTER(NAME);
    for (const KOVADataItem& item : data.creds) {
        if (item.first == AUTHENTICATION_LEVEL) {
            int level = static_cast<int>(kova_strtoul(item.second.c_str()));
            KOVA_EXIT(NAME);
            return level;
        }
    }
    throw AuthenticationLevelMissingException("Authentication level missing in credential structure");
}

int KOVAModule::haveObligationURL(const char* obligation, std::string& url) {
    static constexpr const char* NAME = "KOVAModule::haveObligationURL";
    KOVA_TRACE(6, "Enter %s, obligation[%s]", NAME, kova_str(obligation));
    int result = kova_config->getObligationURL(obligation, url) == 0 ? 0 : 1;
    KOVA_TRACE(6, "Exit %s (0x%x) URL[%s]", NAME, result, url.c_str());
    return result;
}

int KOVAModule::redirectToObligationURL(const std::string& url, const KOVAResponse& response, int* permission,
                                        azn_attrlist_h_t* permission_info) {
    static constexpr const char* NAME = "redirectToObligationURL";
    KOVA_TRACE(6, "Enter %s, sURL[%s] *permission[%d]", NAME, url.c_str(), *permission);
    std::string location = "location: " + url;
    if (const char* transID = response.getTransID()) {
        KOVA_TRACE(9, "Have transID in response");
        std::string query = std::string("TransactionId=") + transID;
        std::size_t question = location.find('?');
        if (question == std::string::npos) {
            KOVA_TRACE(9, "  No existing ? in the location, just add ours on");
            location.append("?").append(query);
        } else {
            KOVA_TRACE(9, "  Already has a ? in the location, so we'll put our query string in front");
            location.insert(question + 1, query + "&");
        }
        KOVA_TRACE(9, "  redirect location is now [%s]", location.c_str());
    } else {
        KOVA_TRACE(9, "No trans ID in response, location is [%s]", location.c_str());
    }

    // Added in this order; the result names the entry that failed (1 to 3).
    const struct {
        const char* name;
        const char* text;
        unsigned long number;
    } entries[] = {{"HTTP_RESPONSE_HEADERS", location.c_str(), 0},
                   {"HTTP_RESPONSE_CODE", nullptr, 302},
                   {"SAVE_POST_AUTH_REQ", nullptr, 1}};
    int result = 0;
    for (int i = 0; i < 3 && result == 0; ++i) {
        const auto& entry = entries[i];
        azn_status_t status = entry.text ? azn_attrlist_add_entry(*permission_info, entry.name, entry.text)
                                         : azn_attrlist_add_entry_ulong(*permission_info, entry.name, entry.number);
        if (status) {
            KOVA_TRACE(1, "%s: ERROR: failed[%lu] adding the %s attr", NAME, status, entry.name);
            result = i + 1;
        } else if (entry.text) {
            KOVA_TRACE(9, "%s: Added to permission_info %s, value[%s]", NAME, entry.name, entry.text);
        } else {
            KOVA_TRACE(9, "%s: Added to permission_info %s, value[%d]", NAME, entry.name,
                       static_cast<int>(entry.number));
        }
    }
    if (result == 0) *permission = AZN_C_NOT_PERMITTED;
    KOVA_TRACE(6, "Exit %s (0x%x), *permission[%d]", NAME, result, *permission);
    return result;
}

azn_status_t KOVAModule::constructResponse(int kind, const std::string& body, azn_attrlist_h_t* permission_info) {
    static constexpr const char* NAME = "KOVAModule::constructResponse";
    KOVA_ENTER(NAME);
    if (!permission_info) {
        KOVA_EXIT_STATUS(NAME, KOVA_NULL_PERMISSION_INFO);
        return KOVA_NULL_PERMISSION_INFO;
    }
    azn_status_t status = usablePermissionList(permission_info);
    if (status == 0)
        status = azn_attrlist_add_entry_ulong(*permission_info, "HTTP_RESPONSE_CODE", RESPONSE_KIND_CODES[kind]);
    if (status == 0) status = azn_attrlist_add_entry(*permission_info, "HTTP_RESPONSE_BODY", body.c_str());
    if (status == 0)
        status = azn_attrlist_add_entry(*permission_info, "HTTP_RESPONSE_HEADERS", "content-type: text/html");
    azn_status_t result = azn_error_major(status);
    KOVA_EXIT_STATUS(NAME, result);
    return result;
}

int KOVAModule::getAttrlistFirstValue(azn_attrlist_h_t list, const char* key, std::string& value) {
    static constexpr const char* NAME = "getAttrlistFirstValue";
    KOVA_TRACE(6, "Enter %s, pszKey[%s]", NAME, kova_str(key));
    unsigned int count = 0;
    azn_string_t text = nullptr;
    int result = 0;
    if (azn_status_t status = azn_attrlist_name_get_num(list, key, &count)) {
        KOVA_TRACE(9, "%s: Failed[%lu] to find key[%s] in the attrlist", NAME, status, kova_str(key));
        result = 1;
    } else if (count == 0) {
        KOVA_TRACE(9, "%s: No values found for input key in the attrlist", NAME);
        result = 2;
    } else if ((status = azn_attrlist_get_entry_string_value(list, key, 0, &text))) {
        KOVA_TRACE(1, "%s: Failed[%lu] to get 0th value for this key[%s] in the attrlist", NAME, status, kova_str(key));
        result = 3;
    } else {
        value = text ? text : "";
        azn_release_string(&text);
    }
    KOVA_EXIT_STATUS(NAME, result);
    return result;
}

azn_status_t rba_retrieve_uxcred_attrs(azn_attrlist_h_t* list, azn_creds_h_t creds) {
    static constexpr const char* NAME = "rba_retrieve_uxcred_attrs";
    KOVA_ENTER(NAME);
    if (azn_status_t status = azn_attrlist_create(list)) {
        KOVA_TRACE(5, "Could not create a credential attribute list.");
        KOVA_EXIT_STATUS(NAME, status);
        return status;
    }
    if (azn_status_t status = azn_creds_get_attrlist_for_subject(creds, 0, list)) {
        KOVA_TRACE(5, "Could not retrieve credentials attribute list.");
        // The list was created above and nobody else would free it.
        azn_attrlist_delete(list);
        KOVA_EXIT_STATUS(NAME, status);
        return status;
    }
    trc_azn_attr_list("creds_attrlist", *list);
    KOVA_EXIT_STATUS(NAME, 0);
    return 0;
}

namespace {

// Appends "[v1][v2]" for the readable values of one entry.
void dumpValues(azn_attrlist_h_t list, const char* entry, unsigned int count, std::string& dump, azn_status_t& status) {
    for (unsigned int i = 0; i < count; ++i) {
        azn_string_t text = nullptr;
        status = azn_attrlist_get_entry_string_value(list, entry, i, &text);
        if (status) {
            KOVA_TRACE(5, "Could not dump the attribute [%s] value %d.", entry, static_cast<int>(i + 1));
            continue;
        }
        dump.append("[").append(text ? text : "<not available>").append("]");
        azn_release_string(&text);
    }
}

}  // namespace

void trc_azn_attr_list(const char* name, azn_attrlist_h_t list) {
    static constexpr const char* NAME = "trc_azn_attr_list";
    KOVA_ENTER(NAME);
    if (!kova_tracing(9)) {
        KOVA_EXIT_STATUS(NAME, 0);
        return;
    }
    azn_string_t* names = nullptr;
    azn_status_t status = azn_attrlist_get_names(list, &names);
    if (status) {
        KOVA_TRACE(5, "Could not dump the [%s] attributes.", name);
        KOVA_EXIT_STATUS(NAME, status);
        return;
    }
    std::string dump = std::string("attributeList [") + name + "]:";
    int dumped = 0;
    for (azn_string_t* entry = names; *entry; ++entry) {
        unsigned int count = 0;
        if ((status = azn_attrlist_name_get_num(list, *entry, &count))) {
            KOVA_TRACE(5, "Could not dump the attribute [%s].", *entry);
            continue;
        }
        dump.append(*entry).append("=[");
        dumpValues(list, *entry, count, dump, status);
        dump.append("] ");
        ++dumped;
    }
    azn_release_strings(&names);
    KOVA_TRACE(9, "%s", dump.c_str());
    KOVA_TRACE(9, "The total number of [%s] attributes is %d.", name, dumped);
    KOVA_EXIT_STATUS(NAME, status);
}
