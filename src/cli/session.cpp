// The line of a subcommand, messages and the timing report.
#include "cli.h"

#include "lineopen.h"
#include "linetrace.h"

#include <QByteArray>

namespace kestran::cli {

struct Session {
    std::unique_ptr<LineTrace> trace;
    OpenedLine line;
    std::unique_ptr<TracingControl> traced;
    std::unique_ptr<CounterClient> client;
};

void SessionDeleter::operator()(Session *s) const
{
    if (!s)
        return;
    // The client first, then the port (closed and noted in the trace), then the trace.
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

void progress(const Invocation &inv, const QString &text)
{
    if (!inv.quiet)
        error(text);
}

void error(const QString &text)
{
    const QByteArray bytes = QStringLiteral("kestran-ctl: %1\n").arg(text).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

void out(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

SessionPtr openSession(const Invocation &inv, int *exitCode)
{
    SessionPtr s(new Session);
    if (!inv.trace.isEmpty()) {
        s->trace = std::make_unique<LineTrace>();
        QString why;
        if (!s->trace->open(inv.trace, &why)) {
            error(why);
            *exitCode = kUsage;
            return nullptr;
        }
        // A trace that stops being written is said at once, never lost silently.
        QObject::connect(s->trace.get(), &LineTrace::writeFailed, [](const QString &reason) { error(reason); });
        s->trace->note(QStringLiteral("kestran-ctl %1, port %2").arg(inv.command, inv.port));
    }
    s->line = openLine(inv.port);
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
    s->client->setProgress([&inv](const QString &text) { progress(inv, text); });
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
