// Shared set-up of the XACML tests: a real configuration file read through the host's stanza reader,
// catalogue messages and trace lines captured in files, and schema validation of request documents.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "rba/KOVAConfig.h"
#include "rba/KOVAData.h"
#include "rba/KOVARequest.h"
#include "support/test_support.h"

namespace xacml_test {

// The catalogue and trace files of the whole run; trace level 9 unless a test says otherwise.
kova_test::TempDir& runDir();
std::string messagesPath();
std::string tracePath();

// Text appended to a file since construction.
class FileTail {
public:
    explicit FileTail(std::string path);
    std::string text() const;

private:
    std::string m_path;
    std::size_t m_start;
};

// Restarts the trace channel at `level` for the scope, then at 9 again.
class TraceLevel {
public:
    explicit TraceLevel(int level);
    ~TraceLevel();
};

// A configuration file with the given text, loaded into a KOVAConfig that serves as `kova_config`.
class Config {
public:
    explicit Config(const std::string& text);
    ~Config();
    KOVAConfig& tables() { return *m_config; }
    const std::string& path() const { return m_path; }

private:
    kova_test::TempDir m_dir;
    std::string m_path;
    std::unique_ptr<KOVAConfig> m_config;
    KOVAConfig* m_previous;
};

// The configuration of the request tests.
extern const char* const REQUEST_CONFIG;

inline const std::string STRING_TYPE = "http://www.w3.org/2001/XMLSchema#string";
inline const std::string INTEGER_TYPE = "http://www.w3.org/2001/XMLSchema#integer";

// The expected text of one Attribute element.
std::string element(const std::string& id, std::initializer_list<std::string> values,
                    const std::string& dataType = STRING_TYPE);

KOVAData makeData(KOVADataList http, KOVADataList creds);

// The 24 fragments joined.
std::string documentOf(KOVARequest& request);

// Parses the document inside a Request element binding ns1 and validates it against the XACML 2.0
// context schema; returns the problems, empty when valid.
std::string schemaProblems(const std::string& document);

}  // namespace xacml_test
