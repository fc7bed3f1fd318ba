#pragma once
// A line of simulated counters behind a pseudo-terminal, served from its own
// thread so that the tool's event loop never has to drive it.
#include "counterline.h"
#include "replyshaper.h"

#include <QByteArray>
#include <QString>
#include <QVector>
#include <array>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kestran::sim {

struct Arrival {
    qint64 ns;  // steady clock, nanoseconds (PtyCounterLine::nowNs())
    char byte;
};

class PtyCounterLine {
public:
    static constexpr qint64 kByteNs = ReplyShaper::kByteNs;

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
    void run();
    void shutdown(bool removeLink);
    void handleInput(const QByteArray &bytes, qint64 at);
    // Paced output, from the pacer's thread: writes what is due, returns when more is (-1: none).
    qint64 writeDue(qint64 now);
    bool writeDueLocked(qint64 now);
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
    ReplyShaper m_out; // what goes toward the tool, and when
    QByteArray m_sent, m_txFrame;
    SendStats m_stats;
};

} // namespace kestran::sim
