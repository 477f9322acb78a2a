#include "audit_reopen.h"

#include <pthread.h>

#include <ctime>

#include "nvaudutl/nvaudutl.h"

namespace zemhost {

namespace {

sigset_t hangupOnly() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

AuditReopenOnHangup::AuditReopenOnHangup() {
    sigset_t hangup = hangupOnly();
    pthread_sigmask(SIG_BLOCK, &hangup, &m_previousMask);
    m_watcher = std::thread([this] { watch(); });
}

AuditReopenOnHangup::~AuditReopenOnHangup() {
    m_stop = true;
    m_watcher.join();
    pthread_sigmask(SIG_SETMASK, &m_previousMask, nullptr);
}

// Wakes up now and then to see whether it should stop.
void AuditReopenOnHangup::watch() {
    sigset_t hangup = hangupOnly();
    const struct timespec poll = {0, 100L * 1000 * 1000};
    while (!m_stop) {
        if (sigtimedwait(&hangup, nullptr, &poll) == SIGHUP) zem_audit_reopen();
    }
}

}  // namespace zemhost
