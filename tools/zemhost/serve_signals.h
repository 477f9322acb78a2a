// `zemhost serve`: SIGTERM, SIGINT and SIGHUP taken by sigwait on a thread of their own, so the work
// they ask for (stop, reload) runs as ordinary code, never inside a signal handler.
#pragma once

#include <pthread.h>

#include <functional>
#include <thread>

namespace zemhost {

class SignalThread {
public:
    // Blocks the three signals in the calling thread and in every thread it starts from now on; call
    // it before any other thread exists. Also ignores SIGPIPE (a client that went away).
    static void blockSignals();

    // `stop` runs once, for the first SIGTERM or SIGINT; `reload` for each SIGHUP before that.
    SignalThread(std::function<void()> stop, std::function<void()> reload);
    // Ends the thread (after `stop`, when no signal came).
    ~SignalThread();
    SignalThread(const SignalThread&) = delete;
    SignalThread& operator=(const SignalThread&) = delete;

private:
    void run();

    std::function<void()> m_stop;
    std::function<void()> m_reload;
    std::thread m_thread;
};

}  // namespace zemhost
