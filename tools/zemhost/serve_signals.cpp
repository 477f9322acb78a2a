#include "serve_signals.h"

#include <csignal>

namespace zemhost {

namespace {

sigset_t watchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

void SignalThread::blockSignals() {
    sigset_t set = watchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

SignalThread::SignalThread(std::function<void()> stop, std::function<void()> reload)
    : m_stop(std::move(stop)), m_reload(std::move(reload)), m_thread([this] { run(); }) {}

SignalThread::~SignalThread() {
    pthread_kill(m_thread.native_handle(), SIGINT);  // blocked, so sigwait takes it as a stop
    m_thread.join();
}

void SignalThread::run() {
    sigset_t set = watchedSignals();
    while (true) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        if (signal == SIGHUP) {
            m_reload();
            continue;
        }
        m_stop();
        return;
    }
}

}  // namespace zemhost
