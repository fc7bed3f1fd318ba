// The line of a subcommand, messages and the timing report.
#include "cli.h"

#include "fileidentity.h"
#include "lineopen.h"
#include "linetrace.h"
#include "mdlcomport.h"
#include "portname.h"
#include "stopsignal.h"

#include <QByteArray>


namespace kestran::cli {

struct Session {
    std::unique_ptr<LineTrace> trace;
    OpenedLine line;
    std::unique_ptr<TracingControl> traced;
    std::unique_ptr<CounterClient> client;
    bool watchingStops = false;
};

void SessionDeleter::operator()(Session *s) const
{
    if (!s)
        return;
    // The client first, then the port (closed and noted in the trace), then the trace.
    if (s->watchingStops)
        stopsignal::unwatch();
    s->client.reset();
    if (s->traced)
        s->traced->setPortOpen(false);
    else if (s->line.control)
        s->line.control->setPortOpen(false);
    s->traced.reset();
    s->line.control.reset();
    s->trace.reset();
    delete s;
}

int checkTraceFile(const Invocation &inv)
{
    if (inv.trace.isEmpty())
        return kDone;
    const FileIdentity trace = identifyFile(inv.trace);
    if (!trace.isKnown())
        return kDone;
    struct Used {
        QString name;
        QString what;
        StdStream stream = StdStream::Input;   // the stream "-" stands for, with `dash`
        bool dash = false;                     // "-" is a standard stream here
    };
    QVector<Used> used;
    // A trace on the terminal that also shows the output is for watching; a
    // trace into the file or pipe that carries a document would spoil it.
    if (!trace.characterDevice) {
        if (!inv.output.isEmpty())
            used.append({inv.output, QStringLiteral("the output file"), StdStream::Output, true});
        const Command *command = findCommand(inv.command);
        if (command && command->readsArguments)
            for (const QString &a : inv.arguments)
                used.append({a, QStringLiteral("the backup file"), StdStream::Input, true});
    }
    const Command *command = findCommand(inv.command);
    if (command && command->takesPort && !inv.port.trimmed().isEmpty()) {
        const PortText port = parsePortText(inv.port, ComPrefix::ComLetters);
        if (port.kind == PortText::Path)
            used.append({port.path, QStringLiteral("the port")});
        else if (port.kind == PortText::Com)
            if (const auto dev = mdlCOMPort::portTable().device(port.number))
                used.append({dev->path, QStringLiteral("the port")});
    }
    for (const Used &u : std::as_const(used)) {
        const FileIdentity other = u.dash && isStdStream(u.name) ? identifyStream(u.stream) : identifyFile(u.name);
        if (other == trace) {
            error(QStringLiteral("the trace file %1 is %2 of this command; give the trace a file of its own")
                      .arg(inv.trace, u.what));
            return kUsage;
        }
    }
    return kDone;
}

int lineLost(const Ending &lost)
{
    error(lostText(lost));
    return lostExit(lost);
}

bool openTrace(const Invocation &inv, std::unique_ptr<LineTrace> *trace)
{
    if (inv.trace.isEmpty())
        return true;
    *trace = std::make_unique<LineTrace>();
    QString why;
    if (!(*trace)->open(inv.trace, &why)) {
        error(why);
        trace->reset();
        return false;
    }
    // A trace that stops being written is said at once, never lost silently.
    QObject::connect(trace->get(), &LineTrace::writeFailed, [](const QString &reason) { error(reason); });
    (*trace)->note(QStringLiteral("kestran-ctl %1, port %2").arg(inv.command, inv.port));
    return true;
}

SessionPtr openSession(const Invocation &inv, int *exitCode, bool interruptible)
{
    if (interruptible)
        stopsignal::catchStops();
    SessionPtr s(new Session);
    if (!openTrace(inv, &s->trace)) {
        *exitCode = kUsage;
        return nullptr;
    }
    s->line = openLine(inv.port, nullptr, inv.tls);
    if (!s->line.control) {
        if (s->trace)
            s->trace->note(QStringLiteral("port not opened: %1").arg(s->line.problem));
        error(s->line.problem);
        *exitCode = kPortFailed;
        return nullptr;
    }
    SerialControl *control = s->line.control.get();
    if (s->trace) {
        s->trace->note(QStringLiteral("port opened (%1)").arg(control->Settings()));
        s->traced = std::make_unique<TracingControl>(control, s->trace.get());
        control = s->traced.get();
    }
    s->client = std::make_unique<CounterClient>(control);
    s->client->setProgress([&inv](const ClientProgress &p) { progress(inv, progressText(p)); });
    if (interruptible) {
        CounterClient *c = s->client.get();
        stopsignal::watch(c, [c] { c->interrupt(); });
        s->watchingStops = true;
        if (stopsignal::caught())
            c->interrupt();   // it came while the port was opening
    }
    *exitCode = kDone;
    return s;
}

CounterClient &client(Session &s)
{
    return *s.client;
}

void reportTiming(Session &s)
{
    if (qEnvironmentVariable("KESTRAN_CTL_TIMING") != QLatin1String("1") || s.client->firstSentNs() < 0)
        return;
    const double ms = (s.client->elapsedNs() - s.client->firstSentNs()) / 1e6;
    error(QStringLiteral("timing: %1 ms from first byte sent to result ready").arg(ms, 0, 'f', 3));
}

} // namespace kestran::cli
