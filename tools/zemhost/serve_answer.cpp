#include "serve_answer.h"

#include <cctype>
#include <optional>

#include "serve_request.h"

namespace zemhost {

namespace {

const char* const LOCATION_PREFIX = "location: ";

std::vector<std::string> responseHeaders(const DecisionResult& result) {
    std::vector<std::string> headers;
    for (const InfoEntry& entry : result.permissionInfo) {
        const auto* text = std::get_if<std::string>(&entry.value);
        if (entry.name == "HTTP_RESPONSE_HEADERS" && text) headers.push_back(*text);
    }
    return headers;
}

std::optional<std::string> infoText(const DecisionResult& result, const std::string& name) {
    for (const InfoEntry& entry : result.permissionInfo) {
        const auto* text = std::get_if<std::string>(&entry.value);
        if (entry.name == name && text) return *text;
    }
    return std::nullopt;
}

std::optional<unsigned long> stepupLevel(const DecisionResult& result) {
    for (const InfoEntry& entry : result.permissionInfo) {
        const auto* number = std::get_if<unsigned long>(&entry.value);
        if (entry.name == azn_perminfo_stepup_level && number) return *number;
    }
    return std::nullopt;
}

bool isHeaderSafe(const std::string& text) { return text.find_first_of("\r\n") == std::string::npos; }

std::string queryEscaped(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += char(c);
        } else {
            appendPercentEscape(out, c);
        }
    }
    return out;
}

HttpAnswer withHeader(int status, const char* name, const std::string& value) {
    HttpAnswer answer = plainAnswer(status, "");
    answer.headers.emplace_back(name, value);
    return answer;
}

HttpAnswer redirect(const DecisionResult& result, const ServeSettings& settings) {
    std::string location;
    for (const std::string& header : responseHeaders(result)) {
        if (header.starts_with(LOCATION_PREFIX)) location = header.substr(std::string(LOCATION_PREFIX).size());
    }
    if (location.empty() || !isHeaderSafe(location)) return plainAnswer(403, "forbidden");
    if (settings.style == AnswerStyle::Nginx) {
        HttpAnswer answer = withHeader(401, "Location", location);
        answer.headers.emplace_back("X-Kova-Redirect", location);
        return answer;
    }
    return withHeader(302, "Location", location);
}

HttpAnswer stepUp(unsigned long level, const ServeSettings& settings, const std::string& originalUrl) {
    HttpAnswer answer = withHeader(401, "X-Kova-Stepup-Level", std::to_string(level));
    if (settings.stepupUrl.empty()) return answer;
    std::string location = settings.stepupUrl + (settings.stepupUrl.find('?') == std::string::npos ? "?" : "&") +
                           "level=" + std::to_string(level) + "&url=" + queryEscaped(originalUrl);
    if (settings.style == AnswerStyle::Standard) answer.status = 302;
    answer.headers.emplace_back("Location", location);
    return answer;
}

// The page the plug-in made when no PDP answered, with its own headers.
HttpAnswer errorPage(const DecisionResult& result, const ServeSettings& settings) {
    if (settings.style == AnswerStyle::Nginx) return withHeader(401, "X-Kova-Error", "502");
    HttpAnswer answer = plainAnswer(502, infoText(result, "HTTP_RESPONSE_BODY").value_or("PDP unavailable\n"));
    for (const std::string& header : responseHeaders(result)) {
        std::size_t colon = header.find(':');
        if (colon == std::string::npos || colon == 0 || !isHeaderSafe(header)) continue;
        std::string name = header.substr(0, colon);
        std::string value = header.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        if (name == "content-type" || name == "Content-Type") {
            answer.contentType = value;
        } else {
            answer.headers.emplace_back(name, value);
        }
    }
    return answer;
}

}  // namespace

HttpAnswer plainAnswer(int status, const std::string& text) {
    HttpAnswer answer;
    answer.status = status;
    answer.body = text.empty() ? "" : text + "\n";
    return answer;
}

HttpAnswer answerFor(const DecisionResult& result, Outcome outcome, const ServeSettings& settings,
                     const std::string& originalUrl) {
    switch (outcome) {
        case Outcome::Permit: return withHeader(200, "X-Kova-Decision", "permit");
        case Outcome::StepUp: return stepUp(stepupLevel(result).value_or(0), settings, originalUrl);
        case Outcome::Redirect: return redirect(result, settings);
        case Outcome::ErrorPage: return errorPage(result, settings);
        case Outcome::Deny:
        case Outcome::Indifferent:  // no ACL stands behind the service: fail closed
            return plainAnswer(403, "forbidden");
        case Outcome::Failure: break;
    }
    return plainAnswer(500, "the decision failed");
}

}  // namespace zemhost
