// Objects a thread gave up, kept for its next ones (internal to the host library).
#pragma once

#include <array>
#include <cstddef>

namespace zem {

// Up to N objects a thread released, handed out again last in, first out; `Dispose` ends one for good.
// Meant to be thread_local: a release during the thread's exit, after the store is gone, disposes at once.
template <class T, std::size_t N, void (*Dispose)(T*)>
class ThreadSpares {
public:
    ThreadSpares() = default;
    ThreadSpares(const ThreadSpares&) = delete;
    ThreadSpares& operator=(const ThreadSpares&) = delete;
    ~ThreadSpares() {
        while (m_count) Dispose(m_spares[--m_count]);
        m_closed = true;
    }

    // A kept object, or null when none is kept.
    T* take() { return m_count ? m_spares[--m_count] : nullptr; }
    // Keeps `object`, or disposes of it when the store is full or gone.
    void keep(T* object) noexcept {
        if (m_closed || m_count == N) Dispose(object);
        else m_spares[m_count++] = object;
    }

private:
    std::array<T*, N> m_spares{};
    std::size_t m_count = 0;
    bool m_closed = false;
};

}  // namespace zem
