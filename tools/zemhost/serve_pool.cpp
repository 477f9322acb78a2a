#include "serve_pool.h"

namespace zemhost {

namespace {

thread_local bool t_overloaded = false;

// Runs `task` as an overloaded connection on the calling thread (the accept loop, as a last resort).
void refuseHere(std::function<void()>& task) {
    t_overloaded = true;
    task();
    t_overloaded = false;
}

}  // namespace

BoundedPool::BoundedPool(std::size_t threads, std::size_t maxQueue, std::size_t maxRefusals) {
    m_workers.capacity = maxQueue;
    m_refusals.capacity = maxRefusals;
    for (std::size_t i = 0; i < threads; ++i) m_workers.threads.emplace_back([this] { work(m_workers, false); });
    m_refusals.threads.emplace_back([this] { work(m_refusals, true); });
}

BoundedPool::~BoundedPool() { shutdown(); }

bool BoundedPool::overloaded() { return t_overloaded; }

// Queued only while a slot is free; a worker that is idle takes the task at once.
bool BoundedPool::offer(Lane& lane, std::function<void()>& task) {
    std::lock_guard<std::mutex> lock(lane.mutex);
    if (lane.stopping || lane.running + lane.tasks.size() >= lane.threads.size() + lane.capacity) return false;
    lane.tasks.push_back(std::move(task));
    lane.ready.notify_one();
    return true;
}

void BoundedPool::enqueue(std::function<void()> task) {
    if (offer(m_workers, task) || offer(m_refusals, task)) return;
    refuseHere(task);
}

void BoundedPool::work(Lane& lane, bool refusing) {
    t_overloaded = refusing;
    while (true) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(lane.mutex);
            lane.ready.wait(lock, [&] { return lane.stopping || !lane.tasks.empty(); });
            if (lane.tasks.empty()) return;
            task = std::move(lane.tasks.front());
            lane.tasks.pop_front();
            ++lane.running;
        }
        task();
        std::lock_guard<std::mutex> lock(lane.mutex);
        --lane.running;
    }
}

void BoundedPool::shutdown() {
    if (m_stopped) return;
    m_stopped = true;
    for (Lane* lane : {&m_workers, &m_refusals}) {
        {
            std::lock_guard<std::mutex> lock(lane->mutex);
            lane->stopping = true;
        }
        lane->ready.notify_all();
    }
    for (Lane* lane : {&m_workers, &m_refusals}) {
        for (std::thread& thread : lane->threads) thread.join();
    }
}

}  // namespace zemhost
