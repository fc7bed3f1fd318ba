#pragma once
// Serving many lines at once. Each line is a conversation of its own (one
// request at a time, time-outs, retries), held by a CounterClient on the
// line's own serial control. Lines on the computer's own ports share a few
// threads, each line a fiber there (LineFibers): a client's wait hands the
// thread to the other lines, and the thread wakes once a round for all of
// them. A gateway's line, whose open waits for the network, has a thread of
// its own (so do all lines where fibers are not available). A line that
// fails or hangs holds up nothing but itself.
#include "counterclient.h"
#include "linetrace.h"
#include "tlssettings.h"
#include "serialcontrol.h"

#include <QString>
#include <QVector>

#include <functional>
#include <mutex>

namespace kestran {

class PortTable;

struct LineTask {
    QString name;   // for progress messages
    QString port;   // a port text, as openLine takes it
    // Runs in the line's thread once its port is open, and keeps what it
    // finds where its caller reads it after run(). Everything it touches
    // besides `client` must be its own or safe to use from several threads.
    std::function<void(CounterClient &client)> work;
    TlsSettings tls;   // for a TLS gateway
    // Every byte of the line, when given (open, not owned): it lives in the
    // line's thread during the run, which notes the port's opening and
    // closing in it, and comes back to the calling thread after.
    LineTrace *trace = nullptr;
};

struct LineOutcome {
    bool opened = false;
    SerialFault fault = SerialFault::None;   // why the port did not open
    QString problem;                         // the same in plain words
    Ending ending;                           // how the line's client ended the work
    qint64 startedNs = 0, endedNs = 0;       // on the run's clock, from its start
    qint64 firstSentNs = -1;                 // the first byte sent, on the run's clock; -1: none
};

class PlantRun {
public:
    // `progress(line, what)` is called from the lines' threads, one call per
    // step; it must be safe to call from several threads at once.
    using Progress = std::function<void(int line, const ClientProgress &what)>;
    using OpenFailed = std::function<void(int line, const QString &problem)>;

    // Opens every line's port and runs its work, all lines at once, and
    // returns when every line is done, one outcome per task in their order.
    // The calling thread's events are served meanwhile. `openFailed(line,
    // problem)` is called like `progress`, at once, for a port that does not open.
    QVector<LineOutcome> run(const QVector<LineTask> &tasks, const Progress &progress,
                             const OpenFailed &openFailed = {}, PortTable *table = nullptr);

    // Interrupts every line (CounterClient::interrupt: the frame being sent
    // is finished, nothing more is sent); a line still opening its port
    // sends nothing. Safe from any thread, during run() or before it.
    void stop();

private:
    std::mutex m_mutex;
    bool m_stopped = false;
    QVector<CounterClient *> m_clients;   // of the lines at work
};

} // namespace kestran
