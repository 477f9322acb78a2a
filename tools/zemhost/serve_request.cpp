#include "serve_request.h"

#include <cctype>
#include <iterator>
#include <optional>
#include <string_view>

namespace zemhost {

namespace {

const std::size_t MAX_GROUPS = 256;

struct Original {
    std::string method, uri, host, scheme;
};

bool isUnreserved(unsigned char c) { return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~'; }

// Path characters that stand in an XML document as they are (no &, <, >, quotes).
bool isPlainPathChar(unsigned char c) {
    return isUnreserved(c) || std::string_view("/!$()*+,;=:@").find(char(c)) != std::string_view::npos;
}

// Segments end at /, ? and # alike: the HTTP library hands header values over percent-decoded, so a
// ? or # here may have been %3F or %23 inside the path, where the upstream would resolve a dot segment.
bool hasDotSegment(const std::string& uri) {
    std::size_t start = 0;
    while (start <= uri.size()) {
        std::size_t end = uri.find_first_of("/?#", start);
        if (end == std::string::npos) end = uri.size();
        std::string_view segment(uri.data() + start, end - start);
        if (segment == "." || segment == "..") return true;
        start = end + 1;
    }
    return false;
}

bool hasControl(const std::string& text) {
    for (unsigned char c : text) {
        if ((c < 0x20 && c != '\t') || c == 0x7f) return true;
    }
    return false;
}

bool isUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = text[i];
        std::size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) >> 6) != 2) return false;
        }
        i += length;
    }
    return true;
}

// Bytes that are not UTF-8 are read as ISO-8859-1, so every value can stand in an XML document.
std::string asUtf8(const std::string& text) {
    if (isUtf8(text)) return text;
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x80) {
            out += char(c);
        } else {
            out += char(0xc0 | (c >> 6));
            out += char(0x80 | (c & 0x3f));
        }
    }
    return out;
}

// Header values read from the request; the first bad one is remembered.
class HeaderReader {
public:
    explicit HeaderReader(const httplib::Request& request) : m_request(request) {}

    // The whole value (the library's own accessor stops at a NUL). A header given twice is ambiguous
    // (which one did the proxy set?), so it is refused.
    std::optional<std::string> value(const std::string& name) {
        auto [found, end] = m_request.headers.equal_range(name);
        if (found == end) return std::nullopt;
        const std::string& text = found->second;
        if (std::next(found) != end) {
            if (m_bad.empty()) m_bad = "header " + name + " appears more than once";
            return std::nullopt;
        }
        if (hasControl(text)) {
            if (m_bad.empty()) m_bad = "header " + name + " holds a control character";
            return std::nullopt;
        }
        return asUtf8(text);
    }
    std::string valueOr(const std::string& name, const std::string& fallback) { return value(name).value_or(fallback); }
    const std::string& bad() const { return m_bad; }

private:
    const httplib::Request& m_request;
    std::string m_bad;
};

std::optional<Original> originalRequest(HeaderReader& headers) {
    Original original;
    if (auto uri = headers.value("X-Original-URI")) {
        original.uri = *uri;
        original.method = headers.valueOr("X-Original-Method", "");
    } else if (auto forwarded = headers.value("X-Forwarded-Uri")) {
        original.uri = *forwarded;
        original.method = headers.valueOr("X-Forwarded-Method", "");
    } else {
        return std::nullopt;
    }
    original.host = headers.valueOr("X-Forwarded-Host", "");
    original.scheme = headers.valueOr("X-Forwarded-Proto", "");
    return original;
}

// The last X-Forwarded-For entry that is not itself a trusted proxy, when it is an address.
std::string forwardedClient(const std::string& forwardedFor, const ServeSettings& settings) {
    std::string candidate;
    std::size_t end = forwardedFor.size();
    while (true) {
        std::size_t comma = forwardedFor.rfind(',', end == 0 ? 0 : end - 1);
        std::size_t start = comma == std::string::npos ? 0 : comma + 1;
        candidate = canonicalAddress(trimmed(forwardedFor.substr(start, end - start)));
        if (candidate.empty() || !inBlocks(settings.trustedProxies, candidate) || comma == std::string::npos) break;
        end = comma;
    }
    return candidate;
}

std::vector<std::string> groupList(const std::string& text) {
    std::vector<std::string> groups = commaList(text);
    if (groups.size() > MAX_GROUPS) groups.resize(MAX_GROUPS);
    return groups;
}

std::string cookieValue(const std::string& cookies, const std::string& name) {
    std::size_t start = 0;
    while (start < cookies.size()) {
        std::size_t end = cookies.find(';', start);
        if (end == std::string::npos) end = cookies.size();
        std::string pair = cookies.substr(start, end - start);
        pair.erase(0, pair.find_first_not_of(' '));
        if (pair.size() > name.size() && pair.compare(0, name.size(), name) == 0 && pair[name.size()] == '=') {
            return pair.substr(name.size() + 1);
        }
        start = end + 1;
    }
    return "";
}

// The value the proxy would hand over for one HTTP information name of [azn-decision-info].
std::string httpInformation(const std::string& name, const Original& original, const std::string& client,
                            HeaderReader& headers) {
    if (name == "method") return original.method;
    if (name == "uri") return original.uri;
    if (name == "scheme") return original.scheme;
    if (name == "client_ip") return client;
    if (name == "header:Host" && !original.host.empty()) return original.host;
    if (name.starts_with("header:")) return headers.valueOr(name.substr(7), "");
    if (name.starts_with("cookie:")) return cookieValue(headers.valueOr("Cookie", ""), name.substr(7));
    return "";
}

bool isDigits(const std::string& text) {
    return !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

void appendPercentEscape(std::string& out, unsigned char byte) {
    static const char HEX[] = "0123456789ABCDEF";
    out += '%';
    out += HEX[byte >> 4];
    out += HEX[byte & 15];
}

std::string objectPath(const std::string& uri, std::string& reason) {
    if (uri.find('\0') != std::string::npos) {
        reason = "NUL in the URI";
        return "";
    }
    if (hasDotSegment(uri)) {
        reason = "the URI has a . or .. segment";
        return "";
    }
    std::string path;
    for (unsigned char c : uri.substr(0, uri.find_first_of("?#"))) {
        if (c < 0x20 || c == 0x7f) {
            reason = "control character in the path";
            return "";
        }
        if (isPlainPathChar(c)) {
            path += char(c);
        } else {
            appendPercentEscape(path, c);
        }
    }
    if (path.empty() || path.front() != '/') {
        reason = "the path does not start with /";
        return "";
    }
    return path;
}

std::variant<TranslatedRequest, BadInput> translateRequest(const httplib::Request& request,
                                                           const ServeSettings& settings) {
    HeaderReader headers(request);
    std::optional<Original> original = originalRequest(headers);
    if (!headers.bad().empty()) return BadInput{headers.bad()};
    if (!original) return BadInput{"neither X-Original-URI nor X-Forwarded-Uri: not an authorization request"};
    auto operation = settings.methodOperations.find(original->method);
    if (operation == settings.methodOperations.end()) {
        return BadInput{"method '" + original->method + "' is not in method-operations"};
    }
    std::string reason;
    std::string path = objectPath(original->uri, reason);
    if (path.empty()) return BadInput{reason};

    TranslatedRequest translated;
    translated.method = original->method;
    translated.originalUrl = original->host.empty() ? original->uri
                                                    : (original->scheme.empty() ? "http" : original->scheme) + "://" +
                                                          original->host + original->uri;
    translated.decision.resource = settings.objectPrefix + path;
    translated.decision.operation = operation->second;

    std::string peer = canonicalAddress(request.remote_addr);
    bool trusted = inBlocks(settings.trustedProxies, peer);
    translated.client = peer;
    if (trusted) {
        if (auto forwarded = headers.value("X-Forwarded-For")) {
            std::string client = forwardedClient(*forwarded, settings);
            if (!client.empty()) translated.client = client;
        }
    }
    std::optional<std::string> user = trusted ? headers.value(settings.userHeader) : std::nullopt;
    translated.user = user && !user->empty() ? *user : settings.unauthenticatedUser;
    NameValues& creds = translated.decision.creds;
    creds.emplace_back("AZN_CRED_PRINCIPAL_NAME", translated.user);
    if (user && !user->empty()) {
        for (const std::string& group : groupList(headers.valueOr(settings.groupsHeader, ""))) {
            creds.emplace_back("AZN_CRED_GROUPS", group);
        }
        if (auto level = headers.value(settings.authLevelHeader)) {
            if (!isDigits(*level)) return BadInput{"header " + settings.authLevelHeader + " is not a whole number"};
            creds.emplace_back("AUTHENTICATION_LEVEL", *level);
        }
    }
    if (!translated.client.empty()) creds.emplace_back("AZN_CRED_NETWORK_ADDRESS_STR", translated.client);

    for (const auto& [key, name] : settings.decisionInfo) {
        std::string value = httpInformation(name, *original, translated.client, headers);
        if (!value.empty()) translated.decision.context.emplace_back(key, value);
    }
    if (!headers.bad().empty()) return BadInput{headers.bad()};
    return translated;
}

}  // namespace zemhost
