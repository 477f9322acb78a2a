#include "status_words.h"

#include <cctype>

#include "nvwebrte/nvwebrte.h"
#include "nvwsoap/nvwsoap.h"
#include "qzauthzn/azn.h"
#include "qzz/qzz.h"
#include "rba/KOVAModule.h"
#include "rba/KOVASOAPCall.h"

namespace zemhost {

namespace {

#define STATUS_ROW(constant, source, meaning) \
    StatusCode { static_cast<unsigned int>(constant), #constant, source, meaning }

const char* const FRAMEWORK = "framework";
const char* const START_UP = "plug-in start-up";
const char* const DECISION = "plug-in decision";
const char* const CLUSTER = "host SOAP cluster";
const char* const READER = "host configuration reader";
const char* const HEALTH = "plug-in health check";

const StatusCode MAJORS[] = {
    STATUS_ROW(AZN_S_COMPLETE, FRAMEWORK, "success"),
    STATUS_ROW(AZN_S_FAILURE, FRAMEWORK, "the call failed; the minor code says why"),
    STATUS_ROW(AZN_S_INVALID_ATTRLIST_HANDLE, FRAMEWORK, "an attribute-list handle is not valid"),
    STATUS_ROW(AZN_S_INVALID_CREDS_HANDLE, FRAMEWORK, "the credentials handle is not valid"),
    STATUS_ROW(AZN_S_INVALID_STRING_VALUE, FRAMEWORK,
               "a text is missing or refused (a header value with a line break ends the decision not permitted)"),
    STATUS_ROW(AZN_S_INVALID_ATTR_NAME, FRAMEWORK, "an attribute-list entry is absent"),
    STATUS_ROW(AZN_S_ATTR_INVALID_INDEX, FRAMEWORK, "an attribute-list entry has no value at that index"),
    STATUS_ROW(AZN_S_ATTR_VALUE_NOT_STRING_TYPE, FRAMEWORK, "an attribute value is a number where a text was read"),
    STATUS_ROW(AZN_S_ATTR_VALUE_NOT_ULONG_TYPE, FRAMEWORK, "an attribute value is a text where a number was read"),
    STATUS_ROW(AZN_S_INVALID_PERMISSION_REF, DECISION, "the framework passed no address for the permission"),
};

const StatusCode MINORS[] = {
    STATUS_ROW(KOVA_NULL_INIT_INFO, START_UP, "the framework passed no list for the service information"),
    STATUS_ROW(KOVA_MISSING_ENTRY, START_UP,
               "a required configuration entry is missing (message QLXBA0303E names key and stanza)"),
    STATUS_ROW(KOVA_NULL_PERMISSION_INFO, DECISION, "the framework passed no address for the permission information"),
    STATUS_ROW(NVWSOAP_S_NO_ENDPOINT, CLUSTER,
               "every PDP endpoint of the cluster is down: the proxy shows the error page (or permits, with "
               "permit-when-no-kova-available)"),
    STATUS_ROW(NVWSOAP_S_NO_HANDLE, CLUSTER, "the service factory made no SOAP stub for the endpoint"),
    STATUS_ROW(NVWSOAP_S_TRANSPORT, CLUSTER,
               "the exchange with the PDP failed: connection refused, time-out, HTTP error (e.g. 401), TLS or an "
               "unreadable answer; message NVWSO0091W names the cause"),
    STATUS_ROW(NVWSOAP_S_NOT_RUNNING, CLUSTER, "the cluster manager is already shut down"),
    STATUS_ROW(NVWSOAP_S_BAD_FACTORY, CLUSTER, "the cluster manager was started without a service factory"),
    STATUS_ROW(NVWSOAP_S_NO_SERVER, CLUSTER, "[kova-eas] has no `server` entry"),
    STATUS_ROW(NVWSOAP_S_BAD_SERVER, CLUSTER, "a `server` entry is not PRIORITY,URL with a usable URL"),
    STATUS_ROW(NVWSOAP_S_BAD_SETTING, CLUSTER,
               "a number or yes/no key of the cluster (timeout, max-handles, ssl-verify-peer, ...) does not parse or "
               "is out of range"),
    STATUS_ROW(NVWSOAP_S_TLS_CONFIG, CLUSTER, "ssl-ca-file, ssl-cert-file or ssl-key-file cannot be loaded"),
    STATUS_ROW(NVWSOAP_S_NOT_INITIALIZED, CLUSTER, "a cluster was added before the cluster manager was started"),
    STATUS_ROW(NVW_S_BAD_BOOLEAN, READER, "a yes/no value is none of yes, no, true, false, on, off, 1, 0"),
    STATUS_ROW(ZQZ_S_BAD_OBFUSCATED_VALUE, READER,
               "an obf: value does not decode (message QLXBA0300W names the entry); start-up fails"),
    STATUS_ROW(KOVA_PING_BAD_URL, HEALTH, "the endpoint URL does not parse (message QLXBA0314E)"),
    STATUS_ROW(KOVA_PING_BAD_RESPONSE, HEALTH, "the endpoint did not answer \"HTTP/1.1 200 OK\""),
    STATUS_ROW(KOVA_PING_SSL_FAILURE, HEALTH, "a TLS step of the health check failed; the trace at level 3 names it"),
    STATUS_ROW(KOVA_PING_SHORT_WRITE, HEALTH, "the health-check request could not be sent whole"),
    STATUS_ROW(KOVA_PING_NO_READ, HEALTH, "no answer could be read from the endpoint"),
};

#undef STATUS_ROW

}  // namespace

std::span<const StatusCode> majorCodes() { return MAJORS; }
std::span<const StatusCode> minorCodes() { return MINORS; }

const StatusCode* findCode(std::span<const StatusCode> table, unsigned int code) {
    for (const StatusCode& row : table) {
        if (row.code == code) return &row;
    }
    return nullptr;
}

std::optional<unsigned long> parseStatusWord(const std::string& text) {
    std::string digits = text.starts_with("0x") || text.starts_with("0X") ? text.substr(2) : text;
    // Sixteen hexadecimal digits fill the word.
    if (digits.empty() || digits.size() > 16) return std::nullopt;
    for (char c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    }
    return std::stoul(digits, nullptr, 16);
}

}  // namespace zemhost
