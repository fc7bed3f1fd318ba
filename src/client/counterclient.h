#pragma once
// Timed request and answer with the counters over a serial control: a read-all
// that waits for one device's replies with a time-out and retries, and paced
// writes followed by a read-back. The line is half duplex: a command goes out
// only after the previous answer is complete or its time-out has passed.
#include "decoder.h"
#include "ending.h"
#include "serialcontrol.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QVector>

#include <functional>

namespace kestran {

struct ReadOptions {
    int timeoutMs = 1000;   // per attempt, from the command to the last reply
    int retries = 2;        // further attempts while values are missing
    // Once a reply has come, this much silence ends the answer early: the
    // counter has said all it will say to this command.
    int quietMs = 100;
};

// What a read keeps of the values that come.
enum class ReadMode {
    AsSent,   // every value field as it came (a sign and seven digits), as a read shows them
    Whole,    // every setting with its own shape; one without it counts as missing
    Probe,    // as Whole, but a device that does not answer the first request is absent
};

// One read of a device, over all its attempts: the one result every
// operation reads a device into, and the one place that says whether it answered.
struct ReadResult {
    int device = 0;
    QMap<char, QString> values;      // index character -> value field
    QMap<char, QString> shapeless;   // Whole, Probe: settings that came without their shape
    QVector<char> garbled;           // missing, but a damaged reply came for it
    int attempts = 0;                // read-all commands sent
    Ending ending;                   // lost or interrupted, or neither

    bool complete() const { return values.size() == 8; }
    // The device answered: a reply of its own came, whole, out of shape or
    // damaged. False: it said nothing at all, as a device that is not there.
    bool answered() const { return !values.isEmpty() || !shapeless.isEmpty() || !garbled.isEmpty(); }
    QVector<char> missing() const;
};

// How complete a read is, as every command judges a device.
enum class Presence { Complete, Incomplete, NoAnswer };
inline Presence presenceOf(const ReadResult &r)
{
    return r.complete() ? Presence::Complete : r.answered() ? Presence::Incomplete : Presence::NoAnswer;
}

// True when `field` is a value `index` can hold: a setting with its shape,
// DIFFERENCE a sign and seven digits.
bool holdsShape(char index, const QString &field);

struct WriteStep {
    char index;      // '0' .. '7' (never '2')
    QString field;   // the eight characters sent
};

struct Mismatch {
    char index;
    QString sent;
    QString read;    // empty when no value came back
};

struct WriteReport {
    int device = 0;
    QVector<WriteStep> steps;       // in the order they go out
    int sent = 0;                   // steps handed to the line, in order
    Ending ending;                  // lost or interrupted (nothing was sent after), or neither
    ReadResult readBack;            // empty when lost or interrupted before it
    QVector<Mismatch> mismatches;   // sent values that read back otherwise
    QVector<char> unverified;       // sent values that did not come back
};

// What a client is doing, as it happens.
struct ClientProgress {
    enum Kind {
        AskingAgain,   // a read's answer is not complete: `done` of 8 values, asking again
        Sent,          // a write: `done` of `total` values sent
    };
    Kind kind = Sent;
    int device = 0;
    int done = 0;
    int total = 0;
};

class CounterClient : public QObject {
    Q_OBJECT
public:

    // `line` is an open serial control (not owned).
    explicit CounterClient(SerialControl *line, QObject *parent = nullptr);
    ~CounterClient() override;

    // Asks the device for its eight values and again, within the retries,
    // while any is missing; `mode` says which values count.
    ReadResult read(int device, const ReadOptions &options = {}, ReadMode mode = ReadMode::AsSent);
    // Writes the steps in the Setup order, each followed by the pause, then
    // reads the device back and compares every sent value.
    WriteReport write(int device, QVector<WriteStep> steps, const ReadOptions &verify = {});

    // Runs the event loop for up to `ms` (all of it when ms < 0), returning
    // early when `stop` holds (checked at every received chunk and every
    // `pollMs`) or the line is lost. For listening only.
    void listen(int ms, const std::function<bool()> &stop, int pollMs = 50);

    // Every chunk received, as it arrives (for the line monitor).
    void setReceiveTap(std::function<void(const QByteArray &)> tap) { m_tap = std::move(tap); }
    // Progress, as it happens.
    void setProgress(std::function<void(const ClientProgress &)> progress) { m_progress = std::move(progress); }

    bool lineLost() const { return m_lost; }
    // Where the client stands: lost (with the line's fault and reason), else
    // interrupted, else neither.
    Ending ending() const { return endingNow(m_lost); }

    // Stops what is going on: the frame being sent is finished, nothing more
    // is sent, and a wait in progress ends at once. For Ctrl-C.
    void interrupt();
    bool interrupted() const { return m_interrupted; }

    // Nanoseconds since this client was made, and when the first byte was sent (-1: none yet).
    qint64 elapsedNs() const { return m_clock.nsecsElapsed(); }
    qint64 firstSentNs() const { return m_firstSentNs; }

private:
    bool send(const QByteArray &frame);
    void onReceive();
    void onLost(const QString &reason);
    // One pass of the event loop, waiting at most `ms` for something to
    // happen (bytes, the line lost, an interruption). Callers test their
    // conditions after every pass.
    // `look`: a reply is coming on a line that does not hold bytes back, so
    // among fibers the thread's next round looks at it.
    void waitEvents(qint64 ms, bool look = false);
    // Asks the line to hold back what comes until `bytes` wait, from `fromNs`
    // on at wire speed; 1 or less lets every arrival through again.
    void holdBack(int bytes, qint64 fromNs);
    void say(const ClientProgress &p);
    // Moves what the attempt has received into `total`, as `mode` keeps it.
    // `came` gathers the indices whose value fields came.
    void fold(ReadResult &total, ReadMode mode, QSet<char> *came);
    // The ending of an operation stopping now: lost when `lost`, else interrupted or not.
    Ending endingNow(bool lost) const;

    QPointer<SerialControl> m_line;
    QElapsedTimer m_clock;
    qint64 m_firstSentNs = -1;
    bool m_lost = false;
    QString m_lostReason;
    SerialFault m_lostFault = SerialFault::None;
    bool m_written = false;         // a write has been handed to the line
    bool m_interrupted = false;

    // The read in progress.
    ReplyDecoder m_decoder;
    QString m_address;                 // "" when no read is waiting
    ReadResult *m_into = nullptr;      // the raw fields received, until fold()
    QMap<char, QString> m_attempt;     // what this attempt has received, by index
    QVector<char> m_conflicting;       // indices this attempt received with two values
    bool m_replied = false;            // a reply came in this attempt
    qint64 m_lastByteNs = 0;
    qint64 m_gatherUntilNs = 0;        // the next look at the line comes no sooner (ReplyGather)
    qint64 m_endDueNs = -1;            // when the answer's last reply can be complete, -1: not near
    int m_frames = 0;                  // frames of the answer this attempt has received
    int m_want = 1;                    // the bytes the line holds back until (1: none held)
    bool m_holding = false;            // the line holds them back
    qint64 m_wantDueNs = -1;           // when they are due at wire speed, with slack

    QTimer m_deadline;                 // ends a pass of waitEvents that nothing else ends
    std::function<void(const QByteArray &)> m_tap;
    std::function<void(const ClientProgress &)> m_progress;
};

} // namespace kestran
