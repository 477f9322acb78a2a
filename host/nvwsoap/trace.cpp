// The trace channel: one line per call, written whole under a lock, to a file or standard error.
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

#include "nvwsoap/nvwsoap.h"

namespace {

struct TraceSettings {
    std::mutex mutex;
    int level = -1;    // -1: take ZEM_TRACE_LEVEL
    std::string path;  // empty: take ZEM_TRACE_FILE, else standard error
    bool configured = false;
};

TraceSettings& settings() {
    static TraceSettings shared;
    return shared;
}

int configuredLevel() {
    TraceSettings& s = settings();
    std::lock_guard lock(s.mutex);
    if (s.configured && s.level >= 0) return s.level;
    const char* fromEnvironment = std::getenv("ZEM_TRACE_LEVEL");
    int level = fromEnvironment ? zem_trace_level_from_text(fromEnvironment) : 0;
    return level < 0 ? 0 : level;
}

std::string configuredPath() {
    TraceSettings& s = settings();
    std::lock_guard lock(s.mutex);
    if (s.configured && !s.path.empty()) return s.path;
    const char* fromEnvironment = std::getenv("ZEM_TRACE_FILE");
    return fromEnvironment ? fromEnvironment : "";
}

// "2026-12-05T17:05:35.123456Z"
void utcStamp(char* out, std::size_t size) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct tm parts;
    gmtime_r(&now.tv_sec, &parts);
    std::size_t length = strftime(out, size, "%Y-%m-%dT%H:%M:%S", &parts);
    snprintf(out + length, size - length, ".%06ldZ", static_cast<long>(now.tv_usec));
}

}  // namespace

int zem_trace_level_from_text(const char* text) {
    static const struct {
        const char* name;
        int level;
    } NAMES[] = {{"error", 1}, {"warning", 2}, {"info", 5}, {"debug", 9}};
    std::string word = text ? text : "";
    for (const auto& named : NAMES)
        if (word == named.name) return named.level;
    if (word.size() == 1 && word[0] >= '0' && word[0] <= '9') return word[0] - '0';
    return -1;
}

struct NVWSOAPTrace::Impl {
    std::mutex mutex;
    FILE* out = nullptr;
    bool ownsFile = false;
    std::string component;
};

extern "C" void zem_trace_configure(int level, const char* path) {
    TraceSettings& s = settings();
    std::lock_guard lock(s.mutex);
    s.level = level;
    s.path = path ? path : "";
    s.configured = true;
}

NVWSOAPTrace::NVWSOAPTrace() : m_impl(new Impl) {}

NVWSOAPTrace::~NVWSOAPTrace() {
    shutdown();
    delete m_impl;
}

int NVWSOAPTrace::initialize(const char* component) {
    shutdown();
    std::string path = configuredPath();
    m_impl->component = component ? component : "";
    m_impl->out = path.empty() ? stderr : fopen(path.c_str(), "a");
    m_impl->ownsFile = !path.empty() && m_impl->out;
    if (!m_impl->out) {
        fprintf(stderr, "trace: cannot open %s; tracing to standard error\n", path.c_str());
        m_impl->out = stderr;
    }
    m_currentLevel = configuredLevel();
    m_level = &m_currentLevel;
    return 0;
}

void NVWSOAPTrace::shutdown() {
    m_level = nullptr;
    std::lock_guard lock(m_impl->mutex);
    if (m_impl->ownsFile) fclose(m_impl->out);
    m_impl->out = nullptr;
    m_impl->ownsFile = false;
}

void NVWSOAPTrace::trace(int level, const char* file, int line, const char* format, ...) {
    if (level > this->level()) return;
    va_list args;
    va_start(args, format);
    vtrace(level, file, line, format, args);
    va_end(args);
}

void NVWSOAPTrace::vtrace(int level, const char* file, int line, const char* format, va_list args) {
    if (level > this->level()) return;
    char stamp[40];
    utcStamp(stamp, sizeof stamp);
    char head[256];
    int headLength = snprintf(head, sizeof head, "%s [%ld] %d %s %s:%d ", stamp, static_cast<long>(syscall(SYS_gettid)),
                              level, m_impl->component.c_str(), file ? file : "", line);
    std::string text(head, static_cast<std::size_t>(headLength < 0 ? 0 : headLength));
    va_list copy;
    va_copy(copy, args);
    int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length > 0) {
        std::size_t start = text.size();
        text.resize(start + static_cast<std::size_t>(length) + 1);
        vsnprintf(text.data() + start, static_cast<std::size_t>(length) + 1, format, args);
        text.resize(start + static_cast<std::size_t>(length));
    }
    if (text.empty() || text.back() != '\n') text.push_back('\n');
    std::lock_guard lock(m_impl->mutex);
    if (!m_impl->out) return;
    fwrite(text.data(), 1, text.size(), m_impl->out);
    fflush(m_impl->out);
}
