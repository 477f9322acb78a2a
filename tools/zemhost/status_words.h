// Every major and minor code a status word from the plug-in or its host can carry, with its meaning.
// The codes are the constants the host and the plug-in return; the administrator's guide lists these rows.
#pragma once

#include <optional>
#include <span>
#include <string>

namespace zemhost {

struct StatusCode {
    unsigned int code;
    const char* name;    // the constant's name
    const char* source;  // who returns it
    const char* meaning;
};

std::span<const StatusCode> majorCodes();
std::span<const StatusCode> minorCodes();
// The row of `code` in `table`, or null.
const StatusCode* findCode(std::span<const StatusCode> table, unsigned int code);

// The status word in hexadecimal, with or without "0x"; nothing when it is not one.
std::optional<unsigned long> parseStatusWord(const std::string& text);

}  // namespace zemhost
