// What the proxy makes of the plug-in's answer.
#pragma once

#include <string>

#include "decision.h"

namespace zemhost {

enum class Outcome {
    Permit,       // serve the resource
    StepUp,       // permitted once the user steps up to the requested authentication level
    Deny,         // 403
    Redirect,     // 302 to the location the plug-in gave
    ErrorPage,    // 502 page: the PDP could not be reached
    Indifferent,  // the object's ACL decides
    Failure,      // the decision failed: the proxy answers with an error
};

Outcome classify(const DecisionResult& result);
// Short name used in JSON and summaries: permit, step-up, deny, redirect, error-page, indifferent, failure.
const char* outcomeName(Outcome outcome);
// One line for a person, e.g. "302 redirect to /login.html?TransactionId=T1".
std::string proxyAction(const DecisionResult& result);

}  // namespace zemhost
