// Audit agents, sinks and events. An agent's sink appends each committed record to its file in one
// write, so records from concurrent decisions never interleave.
#include "nvaudutl/nvaudutl.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "qzauthzn/azn.h"
#include "qzcore/c_boundary.h"
#include "qzsvc/qzsvc.h"

namespace {

struct AuditAgent {
    std::string name;
    std::string path;
    // Writers use the descriptor number as it stands; a reopen swaps the file behind it with dup2,
    // which is atomic, so a record goes whole to either the old or the new file.
    std::atomic<int> fd{-1};
    std::atomic<bool> failing{false};  // a write failed and no record was written since
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

void report(const std::string& text) { qz_msg_print_text(("audit: " + text).c_str()); }

int openAuditFile(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
}

// Each failure after a success is reported once; records keep being attempted.
void noteWrite(AuditAgent& agent, bool written, int error) {
    if (written) {
        agent.failing = false;
    } else if (!agent.failing.exchange(true)) {
        report("agent " + agent.name + ": cannot write to " + agent.path + ": " + strerror(error) +
               "; records are lost until a write succeeds again");
    }
}

void reopen(AuditAgent& agent) {
    if (agent.path.empty()) return;
    int fresh = openAuditFile(agent.path);
    if (fresh < 0) {
        report("agent " + agent.name + ": cannot reopen " + agent.path + ": " + strerror(errno) +
               "; records still go to the file opened before");
        return;
    }
    int current = agent.fd.load();
    if (current < 0) {
        if (agent.fd.compare_exchange_strong(current, fresh)) return;
    } else if (dup2(fresh, current) >= 0) {
        close(fresh);
        return;
    }
    close(fresh);
}

}  // namespace

std::string zem_audit_file_path(const char* configuration) {
    std::string text = configuration ? configuration : "";
    for (std::size_t at = text.find("path="); at != std::string::npos; at = text.find("path=", at + 1)) {
        if (at > 0 && text[at - 1] != ' ' && text[at - 1] != '\t') continue;
        std::size_t start = at + 5;
        if (start < text.size() && text[start] == '"') {
            std::size_t end = text.find('"', start + 1);
            return end == std::string::npos ? "" : text.substr(start + 1, end - start - 1);
        }
        return text.substr(start, text.find_first_of(" \t", start) - start);
    }
    return "";
}

extern "C" {

void* QZLogConfigureAgent(const char* name, const char* configuration) {
    return zem::cBoundary("QZLogConfigureAgent", static_cast<void*>(nullptr), [&]() -> void* {
        auto* agent = new AuditAgent{name ? name : "", zem_audit_file_path(configuration)};
        if (agent->path.empty()) {
            report("agent " + agent->name + ": no path=FILE in \"" + (configuration ? configuration : "") +
                   "\"; records are discarded");
        } else {
            agent->fd = openAuditFile(agent->path);
            if (agent->fd < 0)
                report("agent " + agent->name + ": cannot open " + agent->path + ": " + strerror(errno) +
                       "; records are discarded");
        }
        std::lock_guard lock(g_agentsMutex);
        g_agents[agent->name] = agent;
        return agent;
    });
}

void* QZLogAttachSink(const char* name) {
    return zem::cBoundary("QZLogAttachSink", static_cast<void*>(nullptr), [&]() -> void* {
        std::lock_guard lock(g_agentsMutex);
        auto it = g_agents.find(name ? name : "");
        return it == g_agents.end() ? nullptr : new AuditSink{it->second};
    });
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

nv_log_event_t NVLogEventStart(void* sink) {
    if (!sink) return nullptr;
    return zem::cBoundary("NVLogEventStart", static_cast<nv_log_event_t>(nullptr), [&]() -> nv_log_event_t {
        return new AuditEvent{static_cast<AuditSink*>(sink), {}};
    });
}

void NVLogEventAddText(nv_log_event_t event, unsigned long length, const char* text) {
    if (event && text)
        zem::cBoundary("NVLogEventAddText", [&] { static_cast<AuditEvent*>(event)->text.append(text, length); });
}

void NVLogEventCommit(nv_log_event_t* event, int flags, int* result) {
    if (result) *result = -1;
    if (!event || !*event) return;
    auto* record = static_cast<AuditEvent*>(*event);
    AuditAgent& agent = *record->sink->agent;
    int fd = agent.fd;
    if (fd >= 0) {
        ssize_t written = write(fd, record->text.data(), record->text.size());
        bool whole = written == static_cast<ssize_t>(record->text.size());
        zem::cBoundary("NVLogEventCommit", [&] { noteWrite(agent, whole, written < 0 ? errno : ENOSPC); });
        if (result && whole) *result = 0;
    }
    delete record;
    *event = nullptr;
}

void zem_audit_reopen(void) {
    zem::cBoundary("zem_audit_reopen", [] {
        std::lock_guard lock(g_agentsMutex);
        for (auto& [name, agent] : g_agents) reopen(*agent);
    });
}
}
