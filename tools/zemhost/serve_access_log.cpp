#include "serve_access_log.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace zemhost {

namespace {

std::string utcNow() {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    long millis = long(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", parts.tm_year + 1900, parts.tm_mon + 1,
             parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, millis);
    return text;
}

// Values come from clients: quoted and escaped as JSON strings, invalid UTF-8 replaced.
std::string quoted(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::string accessLine(const AccessRecord& record, LogFormat format) {
    if (format == LogFormat::Json) {
        nlohmann::json line = {
            {"time", utcNow()},          {"client", record.client},       {"method", record.method},
            {"object", record.object},   {"operation", record.operation}, {"user", record.user},
            {"outcome", record.outcome}, {"status", record.status},       {"latency_us", record.latency.count()}};
        if (!record.reason.empty()) line["reason"] = record.reason;
        return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    std::string line = utcNow() + " client=" + quoted(record.client) + " method=" + quoted(record.method) +
                       " object=" + quoted(record.object) + " op=" + quoted(record.operation) +
                       " user=" + quoted(record.user) + " outcome=" + record.outcome +
                       " status=" + std::to_string(record.status) +
                       " latency_us=" + std::to_string(record.latency.count());
    if (!record.reason.empty()) line += " reason=" + quoted(record.reason);
    return line;
}

void AccessLog::write(const AccessRecord& record, LogFormat format) {
    std::string line = accessLine(record, format) + "\n";
    std::lock_guard<std::mutex> lock(m_mutex);
    fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace zemhost
