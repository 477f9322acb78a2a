// refpdp's policy: an ordered list of rules read once from a JSON file; the first rule that matches a
// request decides how refpdp answers it.
//
//   { "default": "NotApplicable",
//     "rules": [
//       { "resource-prefix": "/app/", "action": "read", "user": "alice", "group": "staff", "auth-level": 2,
//         "effect": "Permit", "obligation": "urn:example:stepup", "transaction-id": true },
//       { "user": "mallory", "fault": { "code": "soapenv:Server", "string": "...", "actor": "...",
//                                       "detail": "text", "detail-xml": "<reason>...</reason>" } },
//       { "action": "odd", "body": "<Other xmlns=\"urn:example\"/>" },
//       { "resource-prefix": "/large", "effect": "Deny", "padding": 2000000, "chunked": true } ] }
//
// Every condition given must hold: resource-id starts with the prefix, action-id equals, the subject's
// username equals, one of its groups (or group-ids) equals, its authentication level equals. A rule
// answers with a decision (effect, optional obligation, optional fresh transaction id carried in the
// obligation, `padding` bytes of white space inside the Response to make a large answer, sent `chunked`
// without a Content-Length when asked), a SOAP Fault (HTTP 500) or a SOAP body given verbatim. Without a
// rules file every request is permitted.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "soap.h"

namespace refpdp {

struct DecisionOutcome {
    std::string effect;
    std::optional<std::string> obligation;
    bool transactionId = false;
    size_t padding = 0;
    bool chunked = false;  // sent without a Content-Length, in chunks
};

struct VerbatimBody {
    std::string content;
};

using Outcome = std::variant<DecisionOutcome, Fault, VerbatimBody>;

struct Rule {
    std::optional<std::string> resourcePrefix, action, user, group;
    std::optional<long> authLevel;
    Outcome outcome;

    bool matches(const Attributes& attributes) const;
};

class Rules {
public:
    // Permit for every request.
    Rules();
    // Throws std::runtime_error with the reason when the file cannot be read or is not valid.
    static Rules load(const std::string& path);

    const Outcome& evaluate(const Attributes& attributes) const;

private:
    std::vector<Rule> m_rules;
    Outcome m_default;
};

}  // namespace refpdp
