// `zemhost serve`: the worker threads. The HTTP server hands each accepted connection over as one
// task; at most `threads` run and `maxQueue` wait. A connection beyond that is served by one refusing
// thread (with a bounded queue of its own), whose handlers see overloaded() and answer 503 at once,
// so excess load is refused instead of stalling the accept loop.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zemhost {

class BoundedPool : public httplib::TaskQueue {
public:
    BoundedPool(std::size_t threads, std::size_t maxQueue, std::size_t maxRefusals);
    ~BoundedPool() override;

    void enqueue(std::function<void()> task) override;
    // Runs what is queued, then joins every thread.
    void shutdown() override;

    // True on the thread that answers connections beyond the pool's capacity.
    static bool overloaded();

private:
    struct Lane {
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<std::function<void()>> tasks;
        std::size_t capacity = 0;  // waiting tasks beyond one per thread
        std::size_t running = 0;
        bool stopping = false;
        std::vector<std::thread> threads;
    };
    void work(Lane& lane, bool refusing);
    bool offer(Lane& lane, std::function<void()>& task);

    Lane m_workers;
    Lane m_refusals;
    bool m_stopped = false;
};

}  // namespace zemhost
