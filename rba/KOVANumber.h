// How the plug-in reads a number from a text: strtoul with automatic base (0x hexadecimal, 0 octal,
// else decimal), characters after the number ignored, anything beyond 32 bits out of range. Standard
// library only, so that configuration checkers read a number exactly as the plug-in does.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>

struct KOVANumber {
    uint32_t value = 0;     // the number, when in range
    int error = 0;          // ERANGE when out of range, else 0
    bool digits = false;    // a number was read at all (else value is 0)
    bool trailing = false;  // characters follow the number
};

inline KOVANumber kova_read_number(const char* text) {
    KOVANumber number;
    char* end = nullptr;
    int saved = errno;
    errno = 0;
    unsigned long value = strtoul(text, &end, 0);
    number.error = errno != 0 ? errno : (value > UINT32_MAX ? ERANGE : 0);
    errno = saved;
    number.value = static_cast<uint32_t>(value);
    number.digits = end != text;
    number.trailing = end && *end != '\0';
    return number;
}
