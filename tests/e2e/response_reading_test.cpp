// Reading the PDP's answer, through whole decisions against refpdp answering the bodies below
// verbatim: which decision marker counts, broken obligations, and the transaction id of a redirect.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "e2e/decision_fixture.h"

namespace {

using kova_test::Attributes;
using kova_test::Decision;

constexpr const char* TRANSACTION_ID = "urn:oxa:security:authentication:obligation.transactionId";
constexpr const char* OK_STATUS = "<Status><StatusCode Value=\"urn:oasis:names:tc:xacml:1.0:status:ok\"/></Status>";

std::string result(const std::string& decision, const std::string& rest = "") {
    return "<Result><Decision>" + decision + "</Decision>" + OK_STATUS + rest + "</Result>";
}

std::string obligations(const std::string& content) {
    return "<Obligations xmlns=\"urn:oasis:names:tc:xacml:2.0:policy:schema:os\">" + content + "</Obligations>";
}

std::string response(const std::string& content) {
    return "<Response xmlns=\"urn:oasis:names:tc:xacml:2.0:context:schema:os\">" + content + "</Response>";
}

struct Answer {
    const char* what;
    const char* path;  // resource path refpdp answers on
    std::string body;  // the SOAP body refpdp answers with
    Attributes creds;
    int permission;
    std::string location;          // the redirect header, or "<absent>"
    std::vector<std::string> ids;  // catalogue messages printed
};

const Attributes LEVEL2 = {{"AZN_CRED_PRINCIPAL_NAME", "alice"}, {"AUTHENTICATION_LEVEL", "2"}};

const std::vector<Answer>& answers() {
    // clang-format off
    static const std::vector<Answer> rows = {
        {"broken obligation id ends not permitted", "/broken-obligation",
         response(result("Permit", obligations("<Obligation FulfillOn=\"Permit\" ObligationId=\"urn:kova:level2\">"
                                               "step up</Obligation>"))),
         LEVEL2, AZN_C_NOT_PERMITTED, "<absent>", {"QLXBA0310W"}},
        {"Deny mentioning Permit elsewhere is a denial", "/deny-mentions-permit",
         response("<Result ResourceId=\"/Permit\"><Decision>Deny</Decision><Status><StatusCode Value=\"urn:oasis:names:"
                  "tc:xacml:1.0:status:ok\"/><StatusMessage>Permit refused; no Permit</StatusMessage></Status></Result>"),
         LEVEL2, AZN_C_NOT_PERMITTED, "<absent>", {}},
        {"Deny before Permit in one answer is a Permit", "/deny-then-permit",
         response(result("Deny") + result("Permit")), LEVEL2, AZN_C_PERMITTED, "<absent>", {}},
        {"Permit before Deny in one answer is a Permit", "/permit-then-deny",
         response(result("Permit") + result("Deny")), LEVEL2, AZN_C_PERMITTED, "<absent>", {}},
        {"obligation of an Indeterminate answer is not read", "/indeterminate-obligation",
         response(result("Indeterminate", obligations("<Obligation FulfillOn=\"Permit\" ObligationId=\"urn:kova:level2\">"
                                                      "</Obligation>"))),
         LEVEL2, AZN_C_NOT_PERMITTED, "<absent>", {}},
        {"transaction id without a closing < is no transaction id", "/transid-unclosed",
         response(result("Deny", obligations("<Obligation FulfillOn=\"Deny\" ObligationId=\"urn:kova:login\">"
                                             "</Obligation>")) +
                  "<Note>" + TRANSACTION_ID + "</Note>T-77"),
         LEVEL2, AZN_C_NOT_PERMITTED, "location: /login.jsp", {}},
        {"transaction id goes in front of the URL's own query", "/transid-query",
         response(result("Permit", obligations("<Obligation FulfillOn=\"Permit\" ObligationId=\"urn:kova:login-query\">"
                                               "<AttributeAssignment AttributeId=\"" + std::string(TRANSACTION_ID) +
                                               "\" DataType=\"http://www.w3.org/2001/XMLSchema#string\">T-42"
                                               "</AttributeAssignment></Obligation>"))),
         LEVEL2, AZN_C_NOT_PERMITTED, "location: /login.jsp?TransactionId=T-42&lang=en", {}},
        // Markup hidden in a Deny's comments, CDATA sections and instructions is no Permit marker.
        {"Permit inside a comment of a Deny is a denial", "/comment",
         response("<Result><!-- >Permit</ --><Decision>Deny</Decision></Result>"), LEVEL2, AZN_C_NOT_PERMITTED,
         "<absent>", {}},
        {"Permit inside CDATA of a Deny is a denial", "/cdata",
         response(result("Deny", "<Status><StatusMessage><![CDATA[>Permit</]]></StatusMessage></Status>")), LEVEL2,
         AZN_C_NOT_PERMITTED, "<absent>", {}},
        {"Permit inside an instruction of a Deny is a denial", "/instruction",
         response("<Result><?note >Permit</?><Decision>Deny</Decision></Result>"), LEVEL2, AZN_C_NOT_PERMITTED,
         "<absent>", {}},
        {"empty transaction id is none", "/transid-empty",
         response(result("Deny", obligations("<Obligation FulfillOn=\"Deny\" ObligationId=\"urn:kova:login\">"
                                             "<AttributeAssignment AttributeId=\"" + std::string(TRANSACTION_ID) +
                                             "\"></AttributeAssignment></Obligation>"))),
         LEVEL2, AZN_C_NOT_PERMITTED, "location: /login.jsp", {}},
    };
    // clang-format on
    return rows;
}

// The decision fixture's rules, preceded by one verbatim answer per row.
std::string answeringRules() {
    nlohmann::json rules = nlohmann::json::parse(kova_test::DECISION_RULES);
    nlohmann::json verbatim = nlohmann::json::array();
    for (const Answer& answer : answers())
        verbatim.push_back({{"resource-prefix", answer.path}, {"body", answer.body}});
    for (auto& rule : rules["rules"]) verbatim.push_back(rule);
    rules["rules"] = verbatim;
    return rules.dump();
}

class ResponseReading : public kova_test::DecisionFixture {
protected:
    ResponseReading() { rules = answeringRules(); }
};

TEST_F(ResponseReading, DecisionObligationAndTransactionIdComeFromTheRightPlaces) {
    start();
    for (const Answer& answer : answers()) {
        SCOPED_TRACE(answer.what);
        clearMessages();
        Decision decision = decide(std::string("/Corvane/inst1") + answer.path + "/a", answer.creds, {}, "r",
                                   answer.permission == AZN_C_PERMITTED ? AZN_C_NOT_PERMITTED : AZN_C_PERMITTED);
        EXPECT_EQ(decision.status, 0u);
        EXPECT_EQ(decision.permission, answer.permission);
        EXPECT_EQ(firstString(decision.info->handle(), "HTTP_RESPONSE_HEADERS"), answer.location);
        EXPECT_EQ(printedIds(), answer.ids) << messages();
    }
}

}  // namespace
