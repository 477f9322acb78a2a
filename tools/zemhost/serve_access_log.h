// `zemhost serve`: one access-log line per request on standard error, as text or JSON.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "serve_settings.h"

namespace zemhost {

struct AccessRecord {
    std::string client;  // the peer address (the client the plug-in got, for decided requests)
    std::string method;
    std::string object;
    std::string operation;
    std::string user;
    std::string outcome;  // an outcome name, or bad-input / overloaded / health / ready / metrics
    int status = 0;
    std::chrono::microseconds latency{0};
    std::string reason;  // why a request was refused, else ""
};

class AccessLog {
public:
    // Each record is one write, so lines from many threads never interleave.
    void write(const AccessRecord& record, LogFormat format);

private:
    std::mutex m_mutex;
};

// The line without its line feed.
std::string accessLine(const AccessRecord& record, LogFormat format);

}  // namespace zemhost
