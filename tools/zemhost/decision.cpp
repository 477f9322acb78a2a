#include "decision.h"

#include <cstdio>

namespace zemhost {

std::string permissionWord(int permission) {
    switch (permission) {
        case AZN_C_PERMITTED: return "AZN_C_PERMITTED";
        case AZN_C_NOT_PERMITTED: return "AZN_C_NOT_PERMITTED";
        case AZN_C_INDIFFERENT: return "AZN_C_INDIFFERENT";
        default: return std::to_string(permission);
    }
}

std::string statusHex(azn_status_t status) {
    char text[24];
    snprintf(text, sizeof text, "0x%lx", status);
    return text;
}

std::string describeStatus(azn_status_t status) {
    char text[96];
    snprintf(text, sizeof text, "status %s (major %u, minor 0x%x)", statusHex(status).c_str(), azn_error_major(status),
             azn_error_minor(status));
    return text;
}

}  // namespace zemhost
