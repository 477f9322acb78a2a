// No C++ exception leaves a host library through one of its C entry points (internal to the host
// libraries). The body runs inside zem_c_boundary; an exception that escapes it is reported on standard
// error as "ENTRY: what happened" and the entry point returns its failure value instead.
#pragma once

#include <cstdio>
#include <exception>

namespace zem {

inline void reportEscapedException(const char* entry) noexcept {
    try {
        throw;
    } catch (const std::exception& e) {
        fprintf(stderr, "%s: %s\n", entry, e.what());
    } catch (...) {
        fprintf(stderr, "%s: an exception of unknown type\n", entry);
    }
}

template <typename Result, typename Body>
Result cBoundary(const char* entry, Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        reportEscapedException(entry);
        return failure;
    }
}

// For entry points without a result.
template <typename Body>
void cBoundary(const char* entry, Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        reportEscapedException(entry);
    }
}

}  // namespace zem
