#include "linepacer.h"

#include <algorithm>
#include <chrono>

namespace kestran::sim {

namespace {
qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

LinePacer &LinePacer::instance()
{
    static LinePacer pacer;
    return pacer;
}

LinePacer::~LinePacer()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void LinePacer::add(const void *line, WriteDue writeDue)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back({line, std::move(writeDue)});
    if (!m_thread.joinable())
        m_thread = std::thread([this] { run(); });
}

void LinePacer::remove(const void *line)
{
    // The round in progress holds the lock while it calls the lines.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.erase(std::remove_if(m_lines.begin(), m_lines.end(), [line](const Entry &e) { return e.line == line; }),
                  m_lines.end());
}

void LinePacer::kick()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_kicked = true;
    }
    m_changed.notify_one();
}

void LinePacer::run()
{
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_quit) {
        m_kicked = false;
        const qint64 now = steadyNs();
        qint64 next = -1;
        for (const Entry &e : m_lines) {
            const qint64 due = e.writeDue(now);
            if (due >= 0)
                next = next < 0 ? due : std::min(next, due);
        }
        if (next < 0) {
            m_changed.wait(lock, [this] { return m_quit || m_kicked; });
            continue;
        }
        next = std::max(next, now + kTickNs);
        const Clock::time_point until = Clock::now() + std::chrono::nanoseconds(next - steadyNs());
        m_changed.wait_until(lock, until, [this] { return m_quit || m_kicked; });
    }
}

} // namespace kestran::sim
