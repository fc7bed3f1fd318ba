#include "plantrun.h"

#include "lineopen.h"
#include "mdlcomport.h"
#include "portname.h"
#include "tlssession.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QScopeGuard>
#include <QThread>

#include <memory>
#include <vector>

namespace kestran {

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
    int running = int(tasks.size());
    std::vector<std::unique_ptr<QThread>> threads;
    threads.reserve(size_t(tasks.size()));
    for (int i = 0; i < tasks.size(); ++i) {
        // Each thread writes only its own outcome; it is read after the thread has ended.
        LineOutcome *o = &outcomes[i];
        const LineTask *task = &tasks[i];
        QThread *caller = QThread::currentThread();
        std::unique_ptr<QThread> thread(QThread::create([this, o, task, i, table, caller, &clock, &progress, &openFailed] {
            o->startedNs = clock.nsecsElapsed();
            OpenedLine line = openLine(task->port, table, task->tls);
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
        }));
        QObject::connect(thread.get(), &QThread::finished, &loop, [&running, &loop] {
            if (--running == 0)
                loop.quit();
        }, Qt::QueuedConnection);
        if (task->trace)
            task->trace->moveToThread(thread.get());
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
