// Whole decisions through the loaded plug-in against refpdp: every outcome, obligations, the PDP
// unreachable, native-policy chaining, policy ids, permission-information handles and audit records.
#include <gtest/gtest.h>

#include "e2e/decision_fixture.h"

namespace {

using kova_test::Attributes;
using kova_test::Decision;
using ::testing::HasSubstr;

class Decisions : public kova_test::DecisionFixture {};

// A permit without obligation is permitted, a step-up obligation compares levels for equality, and anything
// else is denied. The preset is the opposite of the answer, so the permission must be written.
TEST_F(Decisions, PermitStepUpOrDenialAndOnlyAStepUpAddsAnEntry) {
    start();
    const Attributes noLevel = {{"AZN_CRED_PRINCIPAL_NAME", "alice"}};
    const Attributes level1 = {{"AUTHENTICATION_LEVEL", "1"}}, level2 = {{"AUTHENTICATION_LEVEL", "2"}};
    const struct {
        const char* object;
        Attributes creds;
        int permission;
        bool stepUp;
    } rows[] = {
        {"/Corvane/inst1/permit/index.html", noLevel, AZN_C_PERMITTED, false},
        {"/Corvane/inst1/deny/a", noLevel, AZN_C_NOT_PERMITTED, false},
        {"/Corvane/inst1/indeterminate/a", noLevel, AZN_C_NOT_PERMITTED, false},
        {"/Corvane/inst1/other/a", noLevel, AZN_C_NOT_PERMITTED, false},
        {"/Corvane/inst1/stepup/a", level2, AZN_C_PERMITTED, false},
        {"/Corvane/inst1/stepup/a", level1, AZN_C_PERMITTED, true},
        {"/Corvane/inst1/stepup/a", {{"AUTHENTICATION_LEVEL", "3"}}, AZN_C_PERMITTED, true},  // not "at least"
        {"/Corvane/inst1/stepup/a", noLevel, AZN_C_NOT_PERMITTED, false},
        {"/Corvane/inst1/unmapped/a", level2, AZN_C_NOT_PERMITTED, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.object) + " " + row.creds[0].second);
        int preset = row.permission == AZN_C_PERMITTED ? AZN_C_NOT_PERMITTED : AZN_C_PERMITTED;
        Decision decision = decide(row.object, row.creds, {}, "r", preset);
        EXPECT_EQ(decision.status, 0u);
        EXPECT_EQ(decision.permission, row.permission);
        EXPECT_EQ(entryNames(decision.info->handle()).size(), row.stepUp ? 1u : 0u);
        EXPECT_EQ(ulongEntry(decision, azn_perminfo_stepup_level), row.stepUp ? 2u : 0u);
    }
}

TEST_F(Decisions, SendsTheResourceWithoutItsPrefixAndTheActionWord) {
    start();
    decide("/Corvane/inst1/permit/docs/a.html", {{"AZN_CRED_PRINCIPAL_NAME", "alice"}}, {}, "r");
    decide("/Corvane/inst1/permit/b", {{"AZN_CRED_PRINCIPAL_NAME", "alice"}}, {}, "d");
    decide("/short", {{"AZN_CRED_PRINCIPAL_NAME", "alice"}}, {}, "rw");
    std::string sent = recorded();
    EXPECT_THAT(sent, HasSubstr("<ns1:AttributeValue>/permit/docs/a.html</ns1:AttributeValue>"));
    EXPECT_THAT(sent, HasSubstr("<ns1:AttributeValue>read</ns1:AttributeValue>"));
    EXPECT_THAT(sent, HasSubstr("<ns1:AttributeValue>unknown</ns1:AttributeValue>"));
    EXPECT_THAT(sent,
                HasSubstr("resource-id\" DataType=\"http://www.w3.org/2001/XMLSchema#string\"><ns1:AttributeValue>/<"))
        << "a name with fewer than three slashes is sent as the root";
}

// With permit-when-no-kova-available an unreachable PDP permits, and the audit record says why; a request
// field that makes the document unreadable to the PDP must not turn into such a transport failure.
TEST_F(Decisions, UnreachablePdpPermitsWhenConfiguredToButAnUnreadableDocumentIsDenied) {
    start("[kova-eas]\npermit-when-no-kova-available = yes\naudit-log-cfg = file path=" + dir.file("audit.log") + "\n");
    for (const auto& [object, userAgent] :
         {std::pair{"/Corvane/inst1/deny/a<b", "curl"}, std::pair{"/Corvane/inst1/deny/a&b", "curl"},
          std::pair{"/Corvane/inst1/deny/a", "curl\x01"}, std::pair{"/Corvane/inst1/deny/a", "curl\xff"},
          std::pair{"/Corvane/inst1/deny/a", "curl\xc3\x28"}}) {
        Decision decision = decide(object, {{"AZN_CRED_PRINCIPAL_NAME", "alice"}}, {{"HTTP_USER_AGENT", userAgent}},
                                   "r", AZN_C_PERMITTED);
        EXPECT_EQ(decision.status, 0u) << object << " " << userAgent;
        EXPECT_EQ(decision.permission, AZN_C_NOT_PERMITTED) << object << " " << userAgent;
    }
    pdp->stop();
    Decision down = decide("/Corvane/inst1/deny/a");
    EXPECT_EQ(down.status, 0u);
    EXPECT_EQ(down.permission, AZN_C_PERMITTED);
    EXPECT_TRUE(entryNames(down.info->handle()).empty());
    EXPECT_THAT(kova_test::readFile(dir.file("audit.log")),
                HasSubstr("<pdp-decision>Permit - permit-when-no-kova-available</pdp-decision>"));
}

TEST_F(Decisions, PermissionInformationHandlesAreCheckedAndReused) {
    start();
    Decision existing;
    azn_attrlist_add_entry(existing.info->handle(), "earlier", "stays");
    kova_test::Credentials creds(Attributes{{"AUTHENTICATION_LEVEL", "1"}});
    kova_test::AttrList context;
    plugin->decide(creds.handle(), "/Corvane/inst1/stepup/a", "r", context.handle(), &existing.permission,
                   &existing.info->handle());
    EXPECT_EQ(entryNames(existing.info->handle()), (std::vector<std::string>{"earlier", azn_perminfo_stepup_level}));

    azn_attrlist_h_t invalid = 0xbad;
    int permission = AZN_C_NOT_PERMITTED;
    EXPECT_EQ(plugin->decide(creds.handle(), "/Corvane/inst1/stepup/a", "r", context.handle(), &permission, &invalid),
              0u);
    EXPECT_NE(invalid, 0xbadu);
    EXPECT_TRUE(azn_util_handle_is_valid(invalid));
    azn_attrlist_delete(&invalid);

    EXPECT_NE(azn_error_major(plugin->decide(creds.handle(), "/Corvane/inst1/permit/a", "r", context.handle(), nullptr,
                                             &existing.info->handle())),
              0u)
        << "a null permission is a failure";
    EXPECT_NE(plugin->decide(creds.handle(), "/Corvane/inst1/permit/a", "r", context.handle(), &permission, nullptr),
              0u);
}

TEST_F(Decisions, UnmappedApplicationContextNameFailsWithAGeneralError) {
    start();
    Decision failed = decide("/Corvane/inst1/permit/a", {{"AZN_CRED_PRINCIPAL_NAME", "alice"}}, {{"NOT_MAPPED", "x"}});
    EXPECT_EQ(failed.status, azn_util_errcode(1, 0));
    EXPECT_THAT(messages(),
                HasSubstr("QLXBA0308W   The header key name is missing for the app_context_data key: NOT_MAPPED"));
    EXPECT_THAT(messages(),
                HasSubstr("QLXBA0300W   A general error occurred: Header key name missing for app_context_data key: "
                          "NOT_MAPPED."));
}

// ---- policy id -------------------------------------------------------------------------------------------
struct ContextIdCase {
    std::string setting;
    std::string special;
    Attributes context;
    std::string expected;
};

TEST_F(Decisions, PolicyIdFollowsTheContextIdSetting) {
    const std::vector<ContextIdCase> cases = {
        {"", "", {}, "srv1"},
        {"context-server-name", "", {{"AZN_EAS_POP_ATTACHMENT_ATTRIBUTE", "/pop/a"}}, "srv1"},
        {"Context-Server-Name", "", {}, "Context-Server-Name"},
        {"context-inherited-pop", "yes", {{"AZN_EAS_POP_ATTACHMENT_ATTRIBUTE", "/pop/a"}}, "/pop/a"},
        {"context-inherited-pop", "yes", {}, "srv1"},
        {"context-inherited-pop", "", {{"AZN_EAS_POP_ATTACHMENT_ATTRIBUTE", "/pop/a"}}, "srv1"},
        {"my-policy-set", "", {}, "my-policy-set"},
    };
    for (const ContextIdCase& c : cases) {
        std::string extra;
        if (!c.setting.empty()) extra += "[kova-eas]\ncontext-id = " + c.setting + "\n";
        if (!c.special.empty()) extra += "[aznapi-configuration]\nspecial-eas = " + c.special + "\n";
        stop();
        clearRecorded();
        start(extra);
        decide("/Corvane/inst1/permit/a", {{"AZN_CRED_PRINCIPAL_NAME", "alice"}}, c.context);
        std::string sent = recorded();
        std::string expected = "<ns1:Attribute AttributeId=\"ContextId\"";
        std::size_t at = sent.find(expected);
        ASSERT_NE(at, std::string::npos) << sent;
        std::size_t value = sent.find("<ns1:AttributeValue>", at) + 20;
        EXPECT_EQ(sent.substr(value, sent.find('<', value) - value), c.expected) << "context-id " << c.setting;
    }
    EXPECT_THAT(messages(), HasSubstr("QLXBA0316W"));
}

// ---- native policy ---------------------------------------------------------------------------------------
azn_svc_decision_access_allowed_ext_fn g_reentry = nullptr;
int g_nativeAnswer = AZN_C_PERMITTED;

azn_status_t nativePolicy(azn_creds_h_t creds, const char* resource, const char* operation, azn_attrlist_h_t context,
                          int* permission, azn_attrlist_h_t* info) {
    if (g_nativeAnswer != 2) {
        *permission = g_nativeAnswer;
        return 0;
    }
    // Delegate to the external service, as the proxy's own policy does.
    return g_reentry(creds, resource, operation, context, permission, info);
}

class NativePolicy : public kova_test::DecisionFixture {
protected:
    void SetUp() override {
        DecisionFixture::SetUp();
        g_reentry = plugin->decide;
        zem_set_native_decision(nativePolicy);
        applyNativePolicy = true;
        start("[kova-eas]\naudit-log-cfg = file path=" + dir.file("audit.log") + "\n");
    }
    void TearDown() override {
        zem_set_native_decision(nullptr);
        DecisionFixture::TearDown();
    }
    std::string audit() const { return kova_test::readFile(dir.file("audit.log")); }
};

TEST_F(NativePolicy, DenialIsFinalWhilePermitOrIndifferentAsksThePdp) {
    const struct {
        int answer;
        const char* audited;
        bool asked;
    } cases[] = {{AZN_C_NOT_PERMITTED, "AZN_C_NOT_PERMITTED", false},
                 {AZN_C_PERMITTED, "AZN_C_PERMITTED", true},
                 {AZN_C_INDIFFERENT, "AZN_C_INDIFFERENT", true}};
    for (const auto& row : cases) {
        g_nativeAnswer = row.answer;
        clearRecorded();
        Decision decision = decide("/Corvane/inst1/permit/a");
        EXPECT_EQ(decision.status, 0u) << row.audited;
        EXPECT_EQ(decision.permission, row.asked ? AZN_C_PERMITTED : AZN_C_NOT_PERMITTED) << row.audited;
        EXPECT_EQ(recorded().find("/permit/a") != std::string::npos, row.asked) << row.audited;
        EXPECT_THAT(audit(), HasSubstr(std::string("<zem-policy-decision>") + row.audited + "</zem-policy-decision>"))
            << row.audited;
    }
}

TEST_F(NativePolicy, ReentryAnswersIndifferentAndTheOuterCallDecides) {
    g_nativeAnswer = 2;
    kova_test::AttrList context;
    kova_test::Credentials creds(Attributes{{"AZN_CRED_PRINCIPAL_NAME", "alice"}});
    kova_test::AttrList info;
    int permission = AZN_C_NOT_PERMITTED;
    EXPECT_EQ(
        plugin->decide(creds.handle(), "/Corvane/inst1/permit/a", "r", context.handle(), &permission, &info.handle()),
        0u);
    EXPECT_EQ(permission, AZN_C_PERMITTED);
    EXPECT_TRUE(entryNames(context.handle()).empty()) << "the marker is removed again";
    EXPECT_EQ(kova_test::countOf(recorded(), "/permit/a<"), 1u) << "the inner call does not ask the PDP";
    std::string records = audit();
    EXPECT_EQ(records.find("<kova-event>"), records.rfind("<kova-event>")) << "the inner call writes no record";
    EXPECT_THAT(records, HasSubstr("<zem-policy-decision>AZN_C_INDIFFERENT</zem-policy-decision>"));
}

// ---- audit -----------------------------------------------------------------------------------------------
TEST_F(Decisions, AuditRecordListsTheDecisionFieldsInNameOrder) {
    start("[kova-eas]\naudit-log-cfg = file path=" + dir.file("audit.log") + "\n");
    decide("/Corvane/inst1/stepup/a",
           {{"AZN_AUTHENTICATION_LEVEL", "1"},
            {"AUTHENTICATION_LEVEL", "1"},
            {"AZN_CRED_PRINCIPAL_NAME", "alice"},
            {"AZN_CRED_NETWORK_ADDRESS_STR", "10.1.2.3"}},
           {{"HTTP_USER_AGENT", "curl<8>"}});
    std::string record = kova_test::readFile(dir.file("audit.log"));
    std::vector<std::string> order;
    for (std::size_t at = record.find("    <"); at != std::string::npos; at = record.find("    <", at + 1))
        order.push_back(record.substr(at + 5, record.find('>', at) - at - 5));
    EXPECT_EQ(order,
              (std::vector<std::string>{"auth-level", "ip-address", "operation", "pdp-decision", "pdp-obligation",
                                        "protected-resource", "server-name", "stepup-level", "timestamp", "user"}))
        << record;
    EXPECT_THAT(record, HasSubstr("<stepup-level>2</stepup-level>"));
    EXPECT_THAT(record, HasSubstr("<pdp-decision>Deny</pdp-decision>"));
    EXPECT_THAT(record, HasSubstr("<pdp-obligation>urn:kova:level2</pdp-obligation>"));
}

}  // namespace
