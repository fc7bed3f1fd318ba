#pragma once
// A line of simulated counters behind a pseudo-terminal, served from its own
// thread so that the tool's event loop never has to drive it.
#include "counterline.h"

#include <QByteArray>
#include <QString>
#include <QVector>
#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

namespace kestran::sim {

// How the line misbehaves. Everything off by default; every random choice
// comes from `seed`, so the same options and commands give the same bytes.
struct LineOptions {
    QVector<int> devices;             // device numbers that answer; empty: all eight
    bool pace = false;                // deliver bytes at 19200-baud wire time
    bool paceCommands = false;        // with pace: a command reaches the counters only
                                      // after its own bytes' wire time
    double noise = 0;                 // chance of 1-4 noise bytes before each reply
    bool noiseMayContainStar = false; // noise bytes may include "*"
    bool split = false;               // hand replies over in small separate writes
    double drop = 0;                  // chance that a reply frame is never sent
    double corrupt = 0;               // chance that one character is changed, lost or added
    int replyDelayMs = 0;             // pause between a read-all and its first reply
    quint64 seed = 1;
    bool holdSlave = true;            // keep the slave open so the tool may come and go
    bool verbose = false;             // log frames to stderr
    bool keepHistory = true;          // keep arrivals, sent bytes and the command log
                                      // (off for a long-running simulator)
};

struct Arrival {
    qint64 ns;  // steady clock, nanoseconds (PtyCounterLine::nowNs())
    char byte;
};

// What went out on the line. `replies` counts frames with the reply layout
// ("*", address "0".."7", "C", separator, index "0".."7", separator, 8
// characters, CR) as they were actually written, corrupted ones included when
// they still have that layout.
struct SendStats {
    std::array<std::array<int, kIndexCount>, kDeviceCount> replies{};
    int generated = 0;   // replies the counters produced
    int dropped = 0;
    int corrupted = 0;
    int noiseBytes = 0;
    int lostBytes = 0;   // written while nobody listened (the write failed)
    int replyTotal() const;
};

class PtyCounterLine {
public:
    static constexpr qint64 kByteNs = 520833; // 10 bits at 19200 baud

    explicit PtyCounterLine(const LineOptions &options = {});
    ~PtyCounterLine();
    PtyCounterLine(const PtyCounterLine &) = delete;
    PtyCounterLine &operator=(const PtyCounterLine &) = delete;

    static qint64 nowNs();

    // Opens a fresh pty pair and starts serving it.
    bool start(QString *error = nullptr);
    // Ends serving: pending output is discarded, the pty closed, the link removed.
    void stop();
    // The far end vanishes: the master is closed at once, the link is left dangling.
    void kill();
    // Serves again on a new pty; the link (if any) is pointed at it. Counter
    // values, counts and recorded arrivals are kept.
    bool restart(QString *error = nullptr);
    bool isRunning() const;

    QString slavePath() const;
    // Makes `path` a symlink to the slave, replacing a dangling symlink but never
    // a file or a symlink to something that exists (another simulator's pty).
    bool setLink(const QString &path, QString *error = nullptr);
    QString linkPath() const;

    // Raw bytes toward the tool, queued after any pending replies (and paced
    // like them when pacing is on).
    void send(const QByteArray &bytes);

    // Every byte received from the tool since start or clearArrivals(); the
    // bytes of one read share the stamp of that read.
    QVector<Arrival> arrivals() const;
    QByteArray received() const;
    void clearArrivals();
    // Blocks the calling thread until at least `count` bytes have arrived.
    bool waitForBytes(int count, int timeoutMs) const;
    // Blocks until no output is pending.
    bool waitForIdle(int timeoutMs) const;

    QByteArray sent() const; // everything written toward the tool
    SendStats stats() const;

    // Runs `f(CounterLine &)` under the line's lock; `f` must not call back
    // into this object.
    template <class F> auto withLine(F &&f)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return f(m_line);
    }
    QByteArray value(int device, int index) const;

private:
    struct Pending {
        qint64 due;
        QByteArray bytes;
    };

    void run();
    void shutdown(bool removeLink);
    void handleInput(const QByteArray &bytes, qint64 at);
    QByteArray corruptFrame(QByteArray frame);
    void enqueue(const QByteArray &bytes, qint64 earliest);
    void noteWritten(const QByteArray &bytes);
    bool createLink(QString *error);
    void wake();

    const LineOptions m_options;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::thread m_thread;
    bool m_quit = false;
    int m_master = -1, m_slave = -1, m_wake = -1;
    QString m_slavePath, m_linkPath;
    QString m_linkedTarget;   // what the link was last made to name, by this line

    CounterLine m_line;
    int m_logged = 0; // command frames already written to the verbose log
    QVector<Arrival> m_arrivals;
    std::deque<Pending> m_queue;
    qint64 m_tail = 0; // when the last queued byte is on the line
    qint64 m_rxTail = 0; // when the last received byte is off the line (paceCommands)
    std::mt19937_64 m_rng, m_splitRng;
    QByteArray m_sent, m_txFrame;
    SendStats m_stats;
};

} // namespace kestran::sim
