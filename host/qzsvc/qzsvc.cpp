#include "qzsvc/qzsvc.h"

#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <unordered_map>

#include "qzcore/c_boundary.h"

namespace {

std::mutex g_mutex;
std::unordered_map<unsigned int, const char*> g_messages;
FILE* g_output = nullptr;  // null: standard error

const char* findMessage(unsigned int id) {
    std::lock_guard lock(g_mutex);
    auto it = g_messages.find(id);
    return it == g_messages.end() ? nullptr : it->second;
}

std::string formatted(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int length = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (length < 0) return "";
    if (static_cast<std::size_t>(length) < sizeof small) return std::string(small, static_cast<std::size_t>(length));
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

std::string utcStamp() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct tm parts;
    gmtime_r(&now.tv_sec, &parts);
    char stamp[40];
    size_t length = strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
    snprintf(stamp + length, sizeof stamp - length, ".%06ld UTC", static_cast<long>(now.tv_usec));
    return stamp;
}

// One line, time stamp first, written whole on the message destination.
int printLine(const std::string& text) {
    std::string line = utcStamp() + " " + text + "\n";
    std::lock_guard lock(g_mutex);
    FILE* out = g_output ? g_output : stderr;
    fwrite(line.data(), 1, line.size(), out);
    fflush(out);
    return static_cast<int>(line.size());
}

}  // namespace

extern "C" {

void uxmsg_init(const char* program_name) {}

void qz_svc_set_progname(const char* program_name, unsigned int* status) {
    if (status) *status = program_name ? 0 : 1;
}

void qz_msg_define_msg_table(const qz_msg_entry_t* table, int rows, unsigned int* status) {
    if (status) *status = 1;
    if (!table || rows <= 0) return;
    zem::cBoundary("qz_msg_define_msg_table", [&] {
        std::lock_guard lock(g_mutex);
        for (int i = 0; i < rows; ++i) g_messages[static_cast<unsigned int>(table[i].id)] = table[i].text;
        if (status) *status = 0;
    });
}

qz_svc_handle_t qz_svc_register(const qz_svc_subcomp_t* table, const char* component, unsigned int* status) {
    bool valid = table && table[0].name && component;
    if (status) *status = valid ? 0 : 1;
    return valid ? 1 : 0;
}

int qz_vprintf_utf8(unsigned int id, va_list args) {
    return zem::cBoundary("qz_vprintf_utf8", -1, [&] {
        const char* format = findMessage(id);
        return printLine(format ? formatted(format, args) : "message " + std::to_string(id));
    });
}

void qz_msg_print_text(const char* text) {
    zem::cBoundary("qz_msg_print_text", [&] { printLine(text ? text : ""); });
}

char* qz_vsprintf_utf8(unsigned int id, va_list args) {
    return zem::cBoundary("qz_vsprintf_utf8", static_cast<char*>(nullptr), [&]() -> char* {
        const char* format = findMessage(id);
        return format ? strdup(formatted(format, args).c_str()) : nullptr;
    });
}

void qz_free(void* text) { free(text); }

void qz_msg_set_output(const char* path) {
    std::lock_guard lock(g_mutex);
    if (g_output) fclose(g_output);
    g_output = path ? fopen(path, "a") : nullptr;
}
}
