// One access decision as the harness asks it and as the plug-in answers it.
#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "qzauthzn/azn.h"

namespace zemhost {

// Attribute name and value, in the order given; a repeated name adds a value to that attribute.
using NameValues = std::vector<std::pair<std::string, std::string>>;

struct DecisionRequest {
    std::string resource;   // the protected object name, e.g. /Corvane/inst1/app/index.html
    std::string operation;  // the operation letter: r, w, x, ...
    NameValues creds;       // the user's credential attributes
    NameValues context;     // the request's application context
};

// One value of a permission-information entry: a text or an unsigned long.
struct InfoEntry {
    std::string name;
    std::variant<std::string, unsigned long> value;
};

struct DecisionResult {
    azn_status_t status = 0;
    int permission = AZN_C_NOT_PERMITTED;
    std::vector<InfoEntry> permissionInfo;  // every value of every entry, in list order
};

// The answer's parts in words (defined with the outcome, in outcome.cpp).
// "AZN_C_PERMITTED", "AZN_C_NOT_PERMITTED", "AZN_C_INDIFFERENT", or the number for anything else.
std::string permissionWord(int permission);
// "0x..." of the whole status word.
std::string statusHex(azn_status_t status);
// "status 0x... (major N, minor 0x...)"
std::string describeStatus(azn_status_t status);

}  // namespace zemhost
