// Every host call the plug-in makes at start-up and in a decision, failing once: start-up fails with
// the status and catalogue message of its failure table, and a decision never ends permitted because
// a call failed; it ends not permitted, or leaves the permission unwritten and returns a failure.
#include <gtest/gtest.h>

#include <cstdio>

#include "e2e/decision_fixture.h"

namespace {

using kova_test::Attributes;
using kova_test::Decision;
using ::testing::HasSubstr;

constexpr unsigned int ANY_MINOR = 0xffffffffu;  // a code the host chooses; printed in the message
constexpr int UNWRITTEN = 7;                     // a preset no decision writes

// "%x" in `text` replaced by the minor code in hexadecimal.
std::string withMinor(std::string text, unsigned int minor) {
    std::size_t at = text.find("%x");
    if (at == std::string::npos) return text;
    char hex[16];
    snprintf(hex, sizeof hex, "%x", minor);
    return text.replace(at, 2, hex);
}

class FailClosed : public kova_test::DecisionFixture {
protected:
    FailClosed() {
        rules = R"({"default": "NotApplicable", "rules": [
          {"resource-prefix": "/permit", "effect": "Permit"},
          {"resource-prefix": "/redirect", "effect": "Permit", "obligation": "urn:kova:login", "transaction-id": true},
          {"resource-prefix": "/stepup", "effect": "Permit", "obligation": "urn:kova:level2"},
          {"resource-prefix": "/fault", "fault": {"code": "soapenv:Server", "string": "policy store offline"}},
          {"resource-prefix": "/not-xacml", "body": "<Other xmlns=\"urn:example\"/>"}]})";
    }
};

// ---- start-up ---------------------------------------------------------------------------------------
struct StartupFailure {
    const char* what;
    std::string from, to;        // configuration text replaced in the minimal configuration
    const char* call = nullptr;  // host call made to fail once
    int after = 0;               // calls of it that still succeed first
    bool nullInitInfo = false;
    azn_status_t status = 0;       // expected result; with ANY_MINOR as minor, that major with a non-zero minor
    std::vector<std::string> ids;  // catalogue messages printed, in order
    std::string message;           // the full text of the last one ("%x": the status's minor code)
};

TEST_F(FailClosed, StartUpFailsWithTheStatusAndMessageOfEachFailingStep) {
    const std::string level2 = "[obligations-levels-mapping]\nurn:kova:level2 = 2\n";
    // clang-format off
    const std::vector<StartupFailure> rows = {
        {"no place for the service information", "", "", nullptr, 0, true, azn_util_errcode(1, 0x1005b62f),
         {"QLXBA0301I"}, "QLXBA0301I   The KOVA external authorization service (EAS) is being initialized."},
        {"trace component absent", "trace-component = kova\n", "", nullptr, 0, false, azn_util_errcode(1, 0x1005b3a6),
         {"QLXBA0301I", "QLXBA0303E"},
         "QLXBA0303E   A required configuration entry, trace-component, under the kova-eas stanza is missing from the "
         "configuration file."},
        {"proxy version absent", "version = 6.1\n", "", nullptr, 0, false, azn_util_errcode(1, 0x1005b3a6),
         {"QLXBA0301I", "QLXBA0303E"},
         "QLXBA0303E   A required configuration entry, version, under the corvane-config stanza is missing from the "
         "configuration file."},
        {"native-policy switch does not parse", "apply-zem-native-policy = no", "apply-zem-native-policy = maybe",
         nullptr, 0, false, azn_util_errcode(1, ANY_MINOR), {"QLXBA0301I", "QLXBA0304E"},
         "QLXBA0304E   Unable to determine whether the ZEM policy needs to be applied: 0x%x."},
        {"cluster manager initialisation fails", "", "", "NVWSOAPClusterMgr::initialize", 0, false,
         azn_util_errcode(1, NVWSOAP_S_NOT_INITIALIZED), {"QLXBA0301I", "QLXBA0305E"},
         "QLXBA0305E   Initialization of cluster manager failed: 0x%x."},
        {"cluster cannot be added", "server = ", "no-server = ", nullptr, 0, false,
         azn_util_errcode(1, NVWSOAP_S_NO_SERVER), {"QLXBA0301I", "QLXBA0306E"},
         "QLXBA0306E   Failed to add cluster to cluster manager: 0x%x."},
        {"mapping tables raise", level2, "[obligations-levels-mapping]\nurn:kova:level2 = 0x100000000\n", nullptr, 0,
         false, azn_util_errcode(1, 0), {"QLXBA0301I"}, ""},
        {"service information list cannot be made", "", "", "azn_attrlist_create", 0, false,
         azn_util_errcode(AZN_S_INVALID_ATTRLIST_HANDLE, 0), {"QLXBA0301I"}, ""},
        {"service version cannot be added", "", "", "azn_attrlist_add_entry", 0, false,
         azn_util_errcode(AZN_S_FAILURE, 0), {"QLXBA0301I"}, ""},
    };
    // clang-format on
    for (const StartupFailure& row : rows) {
        SCOPED_TRACE(row.what);
        clearMessages();
        std::string config = minimalConfig(pdp->url()) + kova_test::DECISION_MAPPINGS +
                             "[user-attribute-definitions]\nx.datatype = string\n";
        if (!row.from.empty()) config = kova_test::replaced(config, row.from, row.to);
        writeConfig(config);
        azn_attrlist_h_t info = 0;
        if (row.call) zem_fail_calls(row.call, row.after, 1);
        azn_status_t status = plugin->initialize("kova", 0, nullptr, row.nullInitInfo ? nullptr : &info);
        zem_clear_failures();
        if (azn_error_minor(row.status) == ANY_MINOR) {
            EXPECT_EQ(azn_error_major(status), azn_error_major(row.status));
            EXPECT_NE(azn_error_minor(status), 0u);
        } else {
            EXPECT_EQ(status, row.status);
        }
        EXPECT_EQ(info, 0u) << "no service information is handed back";
        std::string printed = messages();
        EXPECT_EQ(printedIds(), row.ids) << printed;
        if (!row.message.empty()) {
            EXPECT_THAT(printed, HasSubstr(withMinor(row.message, azn_error_minor(status))));
        }
        EXPECT_EQ(plugin->shutdown(0, nullptr), 0u);
    }
}

// ---- decisions --------------------------------------------------------------------------------------
enum class Pdp { Answers, Stopped };

struct DecisionFailure {
    const char* what;
    const char* object;
    const char* call = nullptr;  // host call made to fail once
    int after = 0;               // calls of it in the decision that still succeed first
    int preset = UNWRITTEN;
    int permission = UNWRITTEN;  // expected afterwards
    unsigned int major = 0;      // of the status returned
    bool pdpAsked = true;
    std::vector<std::string> entries = {};  // permission information afterwards, in order
    std::vector<std::string> ids = {};      // catalogue messages printed by the decision
    bool nativePolicy = false;
    Pdp pdpState = Pdp::Answers;
    bool noPermissionList = false;
    Attributes creds = {{"AZN_CRED_PRINCIPAL_NAME", "alice"}, {"AUTHENTICATION_LEVEL", "1"}};
};

const std::vector<std::string> ERROR_PAGE = {"HTTP_RESPONSE_CODE", "HTTP_RESPONSE_BODY", "HTTP_RESPONSE_HEADERS"};
const std::vector<std::string> REDIRECT = {"HTTP_RESPONSE_HEADERS", "HTTP_RESPONSE_CODE", "SAVE_POST_AUTH_REQ"};

TEST_F(FailClosed, DecisionNeverEndsPermittedBecauseAHostCallFailed) {
    const char* PERMIT = "/Corvane/inst1/permit/a";
    const int P = AZN_C_PERMITTED, NP = AZN_C_NOT_PERMITTED;
    // clang-format off
    const std::vector<DecisionFailure> rows = {
        // Native policy chaining: the framework's status comes back unchanged, the PDP is not asked.
        {"caller marker cannot be read", PERMIT, "azn_attrlist_get_entry_string_value", 0, UNWRITTEN, UNWRITTEN, 1,
         false, {}, {}, true},
        {"caller marker cannot be added", PERMIT, "azn_attrlist_add_entry", 0, UNWRITTEN, UNWRITTEN, 1, false, {}, {},
         true},
        {"native decision fails", PERMIT, "azn_decision_access_allowed_ext", 0, UNWRITTEN, UNWRITTEN, 1, false, {}, {},
         true},
        {"caller marker cannot be removed", PERMIT, "azn_attrlist_delete_entry", 0, UNWRITTEN, AZN_C_INDIFFERENT, 1,
         false, {}, {}, true},
        // Before the request: a failure status, the permission unwritten, the PDP not asked.
        {"permission list cannot be made", PERMIT, "azn_attrlist_create", 0, UNWRITTEN, UNWRITTEN, 1, false, {}, {},
         false, Pdp::Answers, true},
        {"credential list cannot be made", PERMIT, "azn_attrlist_create", 0, UNWRITTEN, UNWRITTEN, 1, false},
        {"credential attributes cannot be read", PERMIT, "azn_creds_get_attrlist_for_subject", 0, UNWRITTEN, UNWRITTEN,
         1, false},
        // Copying the credentials: the attribute is reported and left out; the PDP decides on the rest. (A
        // credential list that cannot be freed only leaks it, which the AddressSanitizer run would report.)
        {"credential value count cannot be read", PERMIT, "azn_attrlist_name_get_num", 0, NP, P, 0, true, {},
         {"QLXBA0312W"}},
        {"credential value cannot be read", PERMIT, "azn_attrlist_get_entry_string_value", 0, NP, P, 0, true, {},
         {"QLXBA0312W"}},
        // Obligations: a redirect or step-up that cannot be expressed denies.
        {"redirect location cannot be added", "/Corvane/inst1/redirect/a", "azn_attrlist_add_entry", 0, P, NP, 0, true},
        {"redirect code cannot be added", "/Corvane/inst1/redirect/a", "azn_attrlist_add_entry_ulong", 0, P, NP, 0, true,
         {"HTTP_RESPONSE_HEADERS"}},
        {"redirect post saving cannot be added", "/Corvane/inst1/redirect/a", "azn_attrlist_add_entry_ulong", 1, P, NP,
         0, true, {"HTTP_RESPONSE_HEADERS", "HTTP_RESPONSE_CODE"}},
        {"redirect succeeds", "/Corvane/inst1/redirect/a", nullptr, 0, P, NP, 0, true, REDIRECT},
        {"step-up level cannot be added", "/Corvane/inst1/stepup/a", "azn_attrlist_add_entry_ulong", 0, P, NP, 0, true},
        // The PDP unreachable or answering no response: the error page, never the preset permit.
        {"PDP stopped", PERMIT, nullptr, 0, UNWRITTEN, UNWRITTEN, 1, false, ERROR_PAGE, {}, false, Pdp::Stopped},
        {"PDP stopped, error code cannot be added", PERMIT, "azn_attrlist_add_entry_ulong", 0, UNWRITTEN, UNWRITTEN, 1,
         false, {}, {}, false, Pdp::Stopped},
        {"PDP answers a SOAP fault", "/Corvane/inst1/fault/a", nullptr, 0, P, NP, 0, true, ERROR_PAGE, {"QLXBA0313E"}},
        {"SOAP fault, error body cannot be added", "/Corvane/inst1/fault/a", "azn_attrlist_add_entry", 0, P, NP, 0, true,
         {"HTTP_RESPONSE_CODE"}, {"QLXBA0313E"}},
        {"PDP answers no XACML response", "/Corvane/inst1/not-xacml/a", nullptr, 0, P, NP, 0, true, ERROR_PAGE},
    };
    // clang-format on
    for (const DecisionFailure& row : rows) {
        SCOPED_TRACE(row.what);
        stop();
        applyNativePolicy = row.nativePolicy;
        pdp->start();
        start();
        if (row.pdpState == Pdp::Stopped) pdp->stop();
        clearMessages();
        clearRecorded();

        Decision decision;
        decision.permission = row.preset;
        kova_test::Credentials credentials(row.creds);
        kova_test::AttrList context;
        azn_attrlist_h_t noList = 0;
        if (row.call) zem_fail_calls(row.call, row.after, 1);
        decision.status = plugin->decide(credentials.handle(), row.object, "r", context.handle(), &decision.permission,
                                         row.noPermissionList ? &noList : &decision.info->handle());
        zem_clear_failures();

        EXPECT_EQ(decision.permission, row.permission);
        EXPECT_EQ(azn_error_major(decision.status), row.major);
        EXPECT_EQ(entryNames(decision.info->handle()), row.entries);
        EXPECT_EQ(printedIds(), row.ids) << messages();
        EXPECT_EQ(!recorded().empty(), row.pdpAsked && row.pdpState == Pdp::Answers);
        EXPECT_EQ(noList, 0u);
    }
}

}  // namespace
