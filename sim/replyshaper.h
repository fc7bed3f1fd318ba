#pragma once
// What a simulated line does to the counters' replies on their way to the
// tool, and when each of their bytes is there: noise, dropped and damaged
// replies, split writes, and the pace of a 19200-baud line. The pseudo-terminal
// line and the network line both send through it; it does no I/O itself.
#include "counterline.h"
#include "frames.h"

#include <QByteArray>
#include <QList>
#include <QVector>

#include <array>
#include <deque>
#include <random>

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

class ReplyShaper {
public:
    static constexpr qint64 kByteNs = kestran::kByteNs;   // the line's one byte time

    explicit ReplyShaper(const LineOptions &options);

    // When the counters have heard a command of `count` bytes that the tool
    // wrote at `at` (ns): at once, or after the bytes' wire time with paceCommands.
    qint64 heard(qint64 at, int count);
    // The counters' replies as the line passes them on: noise before, some
    // dropped, some damaged, as the options say; `stats` counts it.
    QByteArray shape(const QList<QByteArray> &replies, SendStats &stats);
    // Bytes to go out no sooner than `earliest` (ns), after everything queued:
    // a byte at a time at wire pace, in small pieces, or all at once.
    void enqueue(const QByteArray &bytes, qint64 earliest);

    bool isEmpty() const { return m_queue.empty(); }
    // When the next byte is due (ns); only when not empty.
    qint64 nextDue() const;
    // Every byte whose time has come by `now`, in order, taken off the queue.
    QByteArray takeDue(qint64 now);
    // Bytes taken that could not be written: first in line again, due now.
    void putBack(const QByteArray &bytes);
    // Drops everything queued and the command timing (a fresh line).
    void clear();

private:
    // A run of bytes: the first due at `due`, each next one `step` ns later.
    struct Run {
        qint64 due;
        qint64 step;
        QByteArray bytes;
        qsizetype taken = 0;
    };
    QByteArray corruptFrame(QByteArray frame);

    const LineOptions m_options;
    std::deque<Run> m_queue;
    qint64 m_tail = 0;     // when the last queued byte is on the line
    qint64 m_rxTail = 0;   // when the last command byte is off the line (paceCommands)
    std::mt19937_64 m_rng, m_splitRng;
};

// A frame for the verbose log: CR as <CR>, other unprintable bytes as \xNN.
QByteArray printableFrame(const QByteArray &frame);

} // namespace kestran::sim
