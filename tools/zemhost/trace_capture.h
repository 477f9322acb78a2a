// Reading back what the plug-in wrote to the trace channel during one decision.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zemhost {

// A trace file whose growth from now on can be read back. With an empty path a temporary file is
// used and removed again.
class TraceCapture {
public:
    explicit TraceCapture(const std::string& path);
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    const std::string& path() const { return m_path; }
    // Everything written since construction.
    std::string written() const;

private:
    std::string m_path;
    bool m_temporary;
    std::size_t m_start;
};

// One record of the trace channel, read by its fields.
struct TraceRecord {
    std::string time;
    long thread;
    int level;
    std::string component;  // the plug-in's trace-component
    std::string unit;       // the source unit, e.g. rba/KOVAModule or host/nvwsoap
    int line;
    std::string text;  // continuation lines included
};

std::vector<TraceRecord> traceRecords(const std::string& trace);

// The texts of the trace records whose text starts with `label` (e.g. "XACML Response: "), label
// removed, in order. A record continues over following lines that do not start a new record.
std::vector<std::string> tracedTexts(const std::vector<TraceRecord>& records, const std::string& label);

// The fields of the records "NAME: EVENT: key[value] key[value] ..." that announce `event`, in order. A
// value runs to the "]" that ends the text or is followed by " key[", and the first of a repeated key
// counts: a text from outside goes in the last field, where what it holds cannot replace another field.
using TraceFields = std::map<std::string, std::string>;
std::vector<TraceFields> tracedEvents(const std::vector<TraceRecord>& records, const std::string& event);

}  // namespace zemhost
