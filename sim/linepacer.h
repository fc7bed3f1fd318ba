#pragma once
// One thread that writes the paced output of every pseudo-terminal line in
// the process. It wakes for the earliest byte due on any line, but no sooner
// than kTickNs after its last round, and then writes what is due on every
// line. Lines a byte at a time at wire pace stay so (a tick is shorter than a
// byte), while many lines cost the wakeups of one thread instead of one
// thread's wakeup for every byte of every line.
#include <QtGlobal>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kestran::sim {

class LinePacer {
public:
    static constexpr qint64 kTickNs = 250000;

    // Writes what is due on a line by `now` (steady clock, ns); returns when
    // its next byte is due, or -1 when it has nothing queued.
    using WriteDue = std::function<qint64(qint64 now)>;

    static LinePacer &instance();
    ~LinePacer();

    void add(const void *line, WriteDue writeDue);
    // After this returns, `line`'s function is never called again.
    void remove(const void *line);
    // A line has queued bytes: look at the lines again.
    void kick();

private:
    LinePacer() = default;
    void run();

    struct Entry {
        const void *line;
        WriteDue writeDue;
    };
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Entry> m_lines;
    bool m_kicked = false;
    bool m_quit = false;
    std::thread m_thread;
};

} // namespace kestran::sim
