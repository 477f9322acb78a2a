// `zemhost serve`: how the plug-in's answer becomes the HTTP answer a forward-auth proxy acts on.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "outcome.h"
#include "serve_settings.h"

namespace zemhost {

struct HttpAnswer {
    int status = 500;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string contentType = "text/plain";
};

// The answer for one decision. Only a permit without step-up is ever 2xx; with the nginx style every
// other outcome is 401 or 403 with its target in headers (auth_request passes nothing else on).
HttpAnswer answerFor(const DecisionResult& result, Outcome outcome, const ServeSettings& settings,
                     const std::string& originalUrl);

// 400 (bad input), 500 (no decision could be made) and 503 (overloaded) with a one-line reason.
HttpAnswer plainAnswer(int status, const std::string& text);

}  // namespace zemhost
