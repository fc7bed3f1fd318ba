#include "plantrun.h"

#include "linefibers.h"
#include "lineopen.h"
#include "mdlcomport.h"
#include "portname.h"
#include "replygather.h"
#include "tlssession.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QScopeGuard>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

namespace kestran {

namespace {
// Lines on the computer's own ports share a thread up to this many at a time.
constexpr int kLinesPerThread = 16;
} // namespace

void PlantRun::stop()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopped = true;
    // Each client is interrupted in its own thread, where it waits.
    for (CounterClient *c : std::as_const(m_clients))
        QMetaObject::invokeMethod(c, [c] { c->interrupt(); }, Qt::QueuedConnection);
}

QVector<LineOutcome> PlantRun::run(const QVector<LineTask> &tasks, const Progress &progress, const OpenFailed &openFailed,
                                   PortTable *table)
{
    QVector<LineOutcome> outcomes(tasks.size());
    if (tasks.isEmpty())
        return outcomes;
    // The system's port table is made once, here, before any line's thread
    // looks COMn up in it.
    if (!table)
        mdlCOMPort::portTable();
    // So is the TLS library loaded: loading it takes the lock that starting
    // a thread needs, and the lines' threads would start one after another.
    for (const LineTask &task : tasks) {
        if (parsePortText(task.port, ComPrefix::ComLetters).isTls()) {
            loadTls();
            break;
        }
    }

    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    // One line, from its open to its close, in the thread (and fiber) it is
    // given; `opened` is called once the port's open is over, either way.
    const auto serveLine = [this, &outcomes, &tasks, table, &clock, &progress, &openFailed](
                               int i, QThread *caller, const std::function<void()> &opened) {
        LineOutcome *o = &outcomes[i];   // each line writes only its own outcome
        const LineTask *task = &tasks[i];
        o->startedNs = clock.nsecsElapsed();
        OpenedLine line = openLine(task->port, table, task->tls);
        opened();
        // The trace goes back to its owner's thread whichever way the line ends.
        const auto returnTrace = qScopeGuard([task, caller] {
            if (task->trace) {
                task->trace->flush();
                task->trace->moveToThread(caller);
            }
        });
        if (!line.control) {
            if (task->trace)
                task->trace->note(QStringLiteral("port not opened: %1").arg(line.problem));
            o->fault = line.fault;
            o->problem = line.problem;
            o->endedNs = clock.nsecsElapsed();
            if (openFailed)
                openFailed(i, line.problem);
            return;
        }
        o->opened = true;
        std::unique_ptr<TracingControl> traced;
        if (task->trace) {
            task->trace->note(QStringLiteral("port opened (%1)").arg(line.control->Settings()));
            traced = std::make_unique<TracingControl>(line.control.get(), task->trace);
        }
        {
            const qint64 made = clock.nsecsElapsed();
            CounterClient client(traced ? static_cast<SerialControl *>(traced.get()) : line.control.get());
            client.setProgress([i, &progress](const ClientProgress &what) {
                if (progress)
                    progress(i, what);
            });
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_clients.append(&client);
                if (m_stopped)
                    client.interrupt();
            }
            if (task->work)
                task->work(client);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_clients.removeOne(&client);
            }
            o->ending = client.ending();
            if (client.firstSentNs() >= 0)
                o->firstSentNs = made + client.firstSentNs();
        }
        // Closed through the trace, which notes it.
        if (traced)
            traced->setPortOpen(false);
        else
            line.control->setPortOpen(false);
        traced.reset();
        line.control.reset();
        o->endedNs = clock.nsecsElapsed();
    };
    // A gateway's line waits for its connection inside the event loop, so it
    // keeps a thread of its own; the computer's own ports open at once and
    // share threads, a fiber each.
    struct Group {
        std::vector<int> lines;
        bool fibers = true;
    };
    std::vector<Group> groups;
    std::vector<int> shared;
    for (int i = 0; i < tasks.size(); ++i) {
        if (LineFibers::available() && !parsePortText(tasks[i].port, ComPrefix::ComLetters).isNetwork())
            shared.push_back(i);
        else
            groups.push_back({{i}, false});
    }
    const int sharedThreads = std::min(int(shared.size()),
                                       std::max(int((shared.size() + kLinesPerThread - 1) / kLinesPerThread),
                                                QThread::idealThreadCount()));
    for (int t = 0; t < sharedThreads; ++t) {
        Group group;
        for (size_t k = size_t(t); k < shared.size(); k += size_t(sharedThreads))
            group.lines.push_back(shared[k]);
        groups.push_back(group);
    }
    // The lines on the computer's own ports open one after the other in each
    // thread; they start their work together once all are open, as lines
    // with threads of their own would. (A gateway's line, which may wait
    // seconds for its connection, starts when it is ready.)
    std::atomic<int> opening{int(shared.size())};
    int running = int(groups.size());
    QThread *caller = QThread::currentThread();
    std::vector<std::unique_ptr<QThread>> threads;
    threads.reserve(groups.size());
    for (const Group &group : groups) {
        std::unique_ptr<QThread> thread(QThread::create([group, caller, &serveLine, &opening] {
            if (!group.fibers) {
                serveLine(group.lines.front(), caller, [] {});
                return;
            }
            const auto opened = [&opening] {
                --opening;
                while (opening.load() > 0)
                    LineFibers::wait();
            };
            LineFibers fibers(ReplyGather::kGatherMaxNs);
            for (int i : group.lines)
                fibers.add([i, caller, &serveLine, &opened] { serveLine(i, caller, opened); });
            fibers.run();
        }));
        QObject::connect(thread.get(), &QThread::finished, &loop, [&running, &loop] {
            if (--running == 0)
                loop.quit();
        }, Qt::QueuedConnection);
        // A line's trace lives in the thread that serves the line.
        for (int i : group.lines)
            if (tasks[i].trace)
                tasks[i].trace->moveToThread(thread.get());
        threads.push_back(std::move(thread));
    }
    for (auto &t : threads)
        t->start();
    loop.exec();
    for (auto &t : threads)
        t->wait();
    return outcomes;
}

} // namespace kestran
