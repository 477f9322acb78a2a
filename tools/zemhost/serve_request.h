// `zemhost serve`: how an authorization request from a proxy becomes one decision request.
#pragma once

#include <httplib.h>

#include <string>
#include <variant>

#include "decision.h"
#include "serve_settings.h"

namespace zemhost {

// The decision to ask, with what the access log and the answer need to know about it.
struct TranslatedRequest {
    DecisionRequest decision;
    std::string method;       // the original request's method
    std::string originalUrl;  // scheme://host/uri when the proxy said, else the URI
    std::string client;       // the client address the plug-in gets
    std::string user;         // the principal the plug-in gets
};

// Input that cannot be decided (answered 400, no decision): what is wrong, for the log.
struct BadInput {
    std::string reason;
};

std::variant<TranslatedRequest, BadInput> translateRequest(const httplib::Request& request,
                                                           const ServeSettings& settings);

// Appends `byte` as %XX (upper-case hex).
void appendPercentEscape(std::string& out, unsigned char byte);

// The protected-object path for an original URI as the HTTP library hands it over (percent escapes
// already decoded, once): the path without the query, every byte that is not an unreserved or plain
// path character written as %XX (a % too, so nothing is decoded twice). Empty, with `reason` set, when
// the URI has a dot segment (also one that was percent-encoded), a NUL or a control character.
std::string objectPath(const std::string& uri, std::string& reason);

}  // namespace zemhost
