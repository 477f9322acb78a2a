#include "trace_capture.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string_view>

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

// A record's first line: "2026-12-05T17:05:35.123456Z [tid] LEVEL COMPONENT UNIT:LINE TEXT".
const std::regex RECORD_HEAD(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d+Z) \[(\d+)\] (\d+) (\S+) (\S+):(\d+) (.*)$)");

std::string trimLineEnds(const std::string& text) {
    std::size_t end = text.find_last_not_of("\r\n");
    return end == std::string::npos ? "" : text.substr(0, end + 1);
}

// Where the value that starts at `from` ends: the "]" closing the text or followed by " key[".
std::size_t valueEnd(std::string_view text, std::size_t from) {
    for (std::size_t at = text.find(']', from); at != std::string_view::npos; at = text.find(']', at + 1)) {
        if (at + 1 == text.size()) return at;
        std::size_t key = at + 2;
        std::size_t open = text.find_first_of(" []", key);
        if (text[at + 1] == ' ' && open != std::string_view::npos && open > key && text[open] == '[') return at;
    }
    return text.size();
}

TraceFields fieldsOf(std::string_view text) {
    TraceFields fields;
    for (std::size_t open = text.find('['); open != std::string_view::npos; open = text.find('[')) {
        std::size_t close = valueEnd(text, open + 1);
        fields.emplace(text.substr(0, open), text.substr(open + 1, close - open - 1));
        text.remove_prefix(std::min(close + 2, text.size()));
    }
    return fields;
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

std::vector<TraceRecord> traceRecords(const std::string& trace) {
    std::vector<TraceRecord> records;
    std::istringstream lines(trace);
    std::string line;
    while (std::getline(lines, line)) {
        std::smatch field;
        if (std::regex_match(line, field, RECORD_HEAD)) {
            records.push_back({field[1], std::stol(field[2]), std::stoi(field[3]), field[4], field[5],
                               std::stoi(field[6]), field[7]});
        } else if (!records.empty()) {
            records.back().text += "\n" + line;  // a record's text may span lines
        }
    }
    for (TraceRecord& record : records) record.text = trimLineEnds(record.text);
    return records;
}

std::vector<std::string> tracedTexts(const std::vector<TraceRecord>& records, const std::string& label) {
    std::vector<std::string> texts;
    for (const TraceRecord& record : records)
        if (record.text.starts_with(label)) texts.push_back(record.text.substr(label.size()));
    return texts;
}

std::vector<TraceFields> tracedEvents(const std::vector<TraceRecord>& records, const std::string& event) {
    std::vector<TraceFields> events;
    const std::string marker = ": " + event + ": ";
    for (const TraceRecord& record : records) {
        // The marker follows the first word (the operation's name), so a traced document cannot fake one.
        std::size_t space = record.text.find(' ');
        if (space == std::string::npos || space == 0 || record.text.compare(space - 1, marker.size(), marker) != 0)
            continue;
        events.push_back(fieldsOf(std::string_view(record.text).substr(space - 1 + marker.size())));
    }
    return events;
}

}  // namespace zemhost
