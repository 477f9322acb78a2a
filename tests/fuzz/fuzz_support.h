// Shared set-up of the fuzz targets.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "nvwsoap/nvwsoap.h"
#include "qzsvc/qzsvc.h"
#include "rba/kova_eas.h"

namespace kova_fuzz {

// Where broken properties are reported: the standard error the target started with, which stays
// open when libFuzzer closes the target's own (-close_fd_mask=2 keeps the host's chatter out).
inline FILE*& reportStream() {
    static FILE* stream = stderr;
    return stream;
}

// Restarts the trace channel at `level`, writing nowhere.
inline void traceAt(int level) {
    zem_trace_configure(level, "/dev/null");
    kova_trace.initialize("kova-fuzz");
}

// Catalogue messages and trace lines go nowhere, but the trace runs at the deepest level so that every
// trace line is formatted with the fuzzed texts. Called from LLVMFuzzerInitialize, before libFuzzer
// closes anything.
inline void quietHost() {
    if (FILE* saved = fdopen(dup(STDERR_FILENO), "w")) reportStream() = saved;
    qz_msg_set_output("/dev/null");
    traceAt(9);
}

// The input cut at its first `limit - 1` NUL bytes: the pieces a C caller would see as separate texts.
inline std::vector<std::string> cutAtNul(const uint8_t* data, size_t size, size_t limit) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> pieces;
    while (pieces.size() + 1 < limit) {
        size_t nul = rest.find('\0');
        if (nul == std::string_view::npos) break;
        pieces.emplace_back(rest.substr(0, nul));
        rest.remove_prefix(nul + 1);
    }
    pieces.emplace_back(rest);
    return pieces;
}

// Stops the run with the input saved by libFuzzer: a property that must hold did not.
[[noreturn]] inline void broken(const char* what, const std::string& detail) {
    fprintf(reportStream(), "property broken: %s\n%s\n", what, detail.c_str());
    fflush(reportStream());
    abort();
}

// The configuration file a target rewrites for each input: in a fresh folder under /tmp, made by the
// first call (from LLVMFuzzerInitialize) and removed at exit.
inline const std::string& configPath() {
    static const std::string path = [] {
        char folder[] = "/tmp/kova-fuzz-XXXXXX";
        if (!mkdtemp(folder)) broken("cannot make a temporary folder", folder);
        return std::string(folder) + "/corvaned.conf";
    }();
    // Registered once the path exists, so it runs before the path is destroyed.
    [[maybe_unused]] static const int removal = atexit([] {
        unlink(path.c_str());
        rmdir(path.substr(0, path.rfind('/')).c_str());
    });
    return path;
}

inline void writeConfig(const std::string& text) {
    FILE* out = fopen(configPath().c_str(), "wb");
    if (!out) broken("cannot write the configuration file", configPath());
    fwrite(text.data(), 1, text.size(), out);
    fclose(out);
}

}  // namespace kova_fuzz
