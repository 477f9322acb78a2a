#include "trace_capture.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "host_error.h"

namespace zemhost {

namespace {

std::string temporaryFile() {
    char pattern[] = "/tmp/zemhost-trace-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0) throw HostError("cannot create a temporary trace file");
    close(fd);
    return pattern;
}

std::size_t sizeOf(const std::string& path) {
    std::error_code error;
    std::uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<std::size_t>(size);
}

// A trace record starts with "2026-12-05T17:05:35.123456Z [tid] LEVEL COMPONENT UNIT:LINE " and the text
// follows. Returns where the text starts, or nothing for a line that continues the record before.
std::optional<std::size_t> recordTextStart(const std::string& line) {
    bool stamped = line.size() > 29 && line[4] == '-' && line[10] == 'T' && line[19] == '.' &&
                   line.compare(26, 3, "Z [") == 0;
    if (!stamped) return std::nullopt;
    std::size_t at = 0;
    for (int field = 0; field < 5; ++field) {   // time, [tid], level, component, unit:line
        at = line.find(' ', at);
        if (at == std::string::npos) return std::nullopt;
        ++at;
    }
    return at;
}

std::string trimLineEnds(const std::string& text) {
    std::size_t end = text.find_last_not_of("\r\n");
    return end == std::string::npos ? "" : text.substr(0, end + 1);
}

}  // namespace

TraceCapture::TraceCapture(const std::string& path)
    : m_path(path.empty() ? temporaryFile() : path), m_temporary(path.empty()), m_start(sizeOf(m_path)) {}

TraceCapture::~TraceCapture() {
    if (m_temporary) unlink(m_path.c_str());
}

std::string TraceCapture::written() const {
    std::ifstream in(m_path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(m_start));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> tracedTexts(const std::string& trace, const std::string& label) {
    std::vector<std::string> texts;
    std::istringstream lines(trace);
    std::string line;
    bool inside = false;   // the current record is one of ours and may continue on the next line
    while (std::getline(lines, line)) {
        if (std::optional<std::size_t> start = recordTextStart(line)) {
            std::string text = line.substr(*start);
            inside = text.starts_with(label);
            if (inside) texts.push_back(text.substr(label.size()));
        } else if (inside) {
            texts.back() += "\n" + line;
        }
    }
    for (std::string& text : texts) text = trimLineEnds(text);
    return texts;
}

}  // namespace zemhost
