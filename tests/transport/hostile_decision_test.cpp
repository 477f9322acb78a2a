// Whole decisions through the loaded plug-in when the answer or the request is shaped by an attacker,
// with permit-when-no-kova-available on: neither markup hidden in the answer's comments, CDATA sections
// and processing instructions, nor a request field that makes the document unreadable, may turn a
// denial into a permit.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "e2e/decision_fixture.h"

namespace {

using kova_test::Attributes;
using kova_test::Decision;

// A Response whose Result holds `content`.
std::string xacmlResponse(const std::string& content) {
    return "<Response xmlns=\"urn:oasis:names:tc:xacml:2.0:context:schema:os\"><Result>" + content +
           "</Result></Response>";
}

// Every answer is a Deny; those of the rules carry the Permit marker where only markup may hold it.
std::string hostileRules() {
    nlohmann::json rules = {
        {"default", "Deny"},
        {"rules", nlohmann::json::array({
                      {{"resource-prefix", "/comment"},
                       {"body", xacmlResponse("<!-- >Permit</ --><Decision>Deny</Decision>")}},
                      {{"resource-prefix", "/cdata"},
                       {"body", xacmlResponse("<Decision>Deny</Decision><Status><StatusMessage><![CDATA[>Permit</]]>"
                                              "</StatusMessage></Status>")}},
                      {{"resource-prefix", "/instruction"},
                       {"body", xacmlResponse("<?note >Permit</?><Decision>Deny</Decision>")}},
                  })},
    };
    return rules.dump();
}

class HostileDecisions : public kova_test::DecisionFixture {
protected:
    void SetUp() override {
        DecisionFixture::SetUp();
        kova_test::writeFile(dir.file("hostile-rules.json"), hostileRules());
        pdp = std::make_unique<kova_test::RefPdp>(std::vector<std::string>{"--rules", dir.file("hostile-rules.json")});
        start("[kova-eas]\npermit-when-no-kova-available = yes\n");
    }

    // The decision of `object` for alice, starting from a permission the plug-in must overwrite.
    Decision decideFromPermitted(const std::string& object, const Attributes& context = {}) {
        return decide(object, {{"AZN_CRED_PRINCIPAL_NAME", "alice"}}, context, "r", AZN_C_PERMITTED);
    }
};

TEST_F(HostileDecisions, PermitMarkerInsideCommentCdataOrInstructionOfADenyStaysADenial) {
    for (const char* object : {"/Corvane/inst1/comment/a", "/Corvane/inst1/cdata/a", "/Corvane/inst1/instruction/a"}) {
        Decision decision = decideFromPermitted(object);
        EXPECT_EQ(decision.status, 0u) << object;
        EXPECT_EQ(decision.permission, AZN_C_NOT_PERMITTED) << object;
    }
}

TEST_F(HostileDecisions, RequestFieldThatMakesTheDocumentUnreadableIsDenied) {
    struct Case {
        std::string object;
        Attributes context;
    } cases[] = {
        {"/Corvane/inst1/deny/a<b", {}},
        {"/Corvane/inst1/deny/a", {{"HTTP_USER_AGENT", "curl\x01"}}},
        {"/Corvane/inst1/deny/a", {{"HTTP_USER_AGENT", "curl\xff"}}},
    };
    for (const Case& row : cases) {
        Decision decision = decideFromPermitted(row.object, row.context);
        EXPECT_EQ(decision.status, 0u) << row.object;
        EXPECT_EQ(decision.permission, AZN_C_NOT_PERMITTED) << row.object << " " << row.context.size();
    }
}

}  // namespace
