// The operation letters the proxy passes and the XACML action each becomes; any other operation text
// becomes KOVA_UNKNOWN_ACTION. The match is exact ("rw" or "R" is not a match).
#pragma once

struct KOVAAction {
    const char* operation;
    const char* action;
};

inline constexpr KOVAAction KOVA_ACTIONS[] = {{"r", "read"}, {"w", "write"}, {"x", "execute"}};
inline constexpr const char* KOVA_UNKNOWN_ACTION = "unknown";
