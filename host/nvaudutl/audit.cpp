// Audit agents, sinks and events. An agent is configured with "file path=PATH"; its sink appends each
// committed record to that file in one write, so records from concurrent decisions never interleave.
#include "nvaudutl/nvaudutl.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "qzauthzn/azn.h"

namespace {

struct AuditAgent {
    std::string name;
    int fd = -1;
};

struct AuditSink {
    AuditAgent* agent;
};

struct AuditEvent {
    AuditSink* sink;
    std::string text;
};

std::mutex g_agentsMutex;
std::map<std::string, AuditAgent*> g_agents;

// The value of `key=` in a configuration text of blank-separated key=value words.
std::string configValue(const char* configuration, const std::string& key) {
    std::string text = configuration ? configuration : "";
    std::size_t at = text.find(key + "=");
    if (at == std::string::npos || (at > 0 && text[at - 1] != ' ' && text[at - 1] != '\t')) return "";
    std::size_t start = at + key.size() + 1;
    std::size_t end = text.find_first_of(" \t", start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

extern "C" {

void* QZLogConfigureAgent(const char* name, const char* configuration) {
    auto* agent = new AuditAgent{name ? name : "", -1};
    std::string path = configValue(configuration, "path");
    if (path.empty()) {
        fprintf(stderr, "audit: agent %s: no path=FILE in \"%s\"; records are discarded\n", agent->name.c_str(),
                configuration ? configuration : "");
    } else {
        agent->fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
        if (agent->fd < 0)
            fprintf(stderr, "audit: agent %s: cannot open %s: %s; records are discarded\n", agent->name.c_str(),
                    path.c_str(), strerror(errno));
    }
    std::lock_guard lock(g_agentsMutex);
    g_agents[agent->name] = agent;
    return agent;
}

void* QZLogAttachSink(const char* name) {
    std::lock_guard lock(g_agentsMutex);
    auto it = g_agents.find(name ? name : "");
    return it == g_agents.end() ? nullptr : new AuditSink{it->second};
}

void QZLogDestroyAgent(void** agent) {
    if (!agent || !*agent) return;
    auto* target = static_cast<AuditAgent*>(*agent);
    {
        std::lock_guard lock(g_agentsMutex);
        auto it = g_agents.find(target->name);
        if (it != g_agents.end() && it->second == target) g_agents.erase(it);
    }
    if (target->fd >= 0) close(target->fd);
    delete target;
    *agent = nullptr;
}

void QZLogDetachSink(void** sink) {
    if (!sink || !*sink) return;
    delete static_cast<AuditSink*>(*sink);
    *sink = nullptr;
}

nv_log_event_t NVLogEventStart(void* sink) { return sink ? new AuditEvent{static_cast<AuditSink*>(sink), {}} : nullptr; }

void NVLogEventAddText(nv_log_event_t event, unsigned long length, const char* text) {
    if (event && text) static_cast<AuditEvent*>(event)->text.append(text, length);
}

void NVLogEventCommit(nv_log_event_t* event, int flags, int* result) {
    if (result) *result = -1;
    if (!event || !*event) return;
    auto* record = static_cast<AuditEvent*>(*event);
    int fd = record->sink->agent->fd;
    ssize_t written = fd >= 0 ? write(fd, record->text.data(), record->text.size()) : -1;
    if (result) *result = written == static_cast<ssize_t>(record->text.size()) ? 0 : -1;
    delete record;
    *event = nullptr;
}
}
