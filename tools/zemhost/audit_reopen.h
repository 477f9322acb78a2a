// Log rotation for the long-running commands: SIGHUP reopens the audit files.
#pragma once

#include <signal.h>

#include <atomic>
#include <thread>

namespace zemhost {

// While it lives, SIGHUP makes the host reopen every audit file by its path (zem_audit_reopen), so that
// records go to a new file after the old one was renamed. Construct it before the plug-in starts
// threads: SIGHUP is blocked in the constructing thread and in every thread started afterwards, and one
// watcher thread takes it.
class AuditReopenOnHangup {
public:
    AuditReopenOnHangup();
    ~AuditReopenOnHangup();
    AuditReopenOnHangup(const AuditReopenOnHangup&) = delete;
    AuditReopenOnHangup& operator=(const AuditReopenOnHangup&) = delete;

private:
    void watch();

    sigset_t m_previousMask;
    std::atomic<bool> m_stop{false};
    std::thread m_watcher;
};

}  // namespace zemhost
