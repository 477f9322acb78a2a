// `zemhost serve`: the [zemhost-serve] stanza and the command-line options that override it.
#pragma once

#include <array>
#include <map>
#include <string>
#include <vector>

#include "config_reader.h"

namespace zemhost {

extern const char* const SERVE_STANZA;

// An address block of `trusted-proxies`, in IPv6 form (IPv4 as ::ffff:a.b.c.d).
struct AddressBlock {
    std::array<unsigned char, 16> bytes{};
    int prefixBits = 0;
};

enum class AnswerStyle { Standard, Nginx };
enum class LogFormat { Text, Json };

struct ServeSettings {
    std::string listen = "127.0.0.1:9191";
    int threads = 8;
    int maxQueue = 256;
    int readTimeout = 5;       // seconds, each read of a request
    int writeTimeout = 5;      // seconds, each write of an answer
    int keepAliveTimeout = 5;  // seconds an idle keep-alive connection is kept
    AnswerStyle style = AnswerStyle::Standard;
    LogFormat logFormat = LogFormat::Text;
    std::string objectPrefix;
    std::map<std::string, std::string> methodOperations;  // method -> operation letter
    std::string userHeader = "Remote-User";
    std::string groupsHeader = "Remote-Groups";
    std::string authLevelHeader = "Remote-Auth-Level";
    std::vector<AddressBlock> trustedProxies;
    std::string unauthenticatedUser = "unauthenticated";
    std::string stepupUrl;
    // [azn-decision-info] as the plug-in reads it: application-context key = HTTP information name.
    NameValues decisionInfo;
};

// What the command line gave; empty or negative: take the stanza's value.
struct ServeOverrides {
    std::string listen;
    int threads = -1;
    bool nginx = false;
    std::string logFormat;
};

// The settings from the file, with the overrides applied; each value that does not parse is a line in
// `problems` (the settings then keep the default for it).
ServeSettings readServeSettings(const ConfigReader& config, const ServeOverrides& overrides,
                                std::vector<std::string>& problems);

// `text` without blanks and tabs around it.
std::string trimmed(const std::string& text);
// The comma-separated entries of `text`, trimmed, empty ones left out.
std::vector<std::string> commaList(const std::string& text);

// True when `address` (IPv4 or IPv6 text) lies in one of the blocks.
bool inBlocks(const std::vector<AddressBlock>& blocks, const std::string& address);
// The address in canonical text form, or "" when `text` is not an IPv4 or IPv6 address.
std::string canonicalAddress(const std::string& text);

}  // namespace zemhost
