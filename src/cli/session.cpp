// The line of a subcommand, messages and the timing report.
#include "cli.h"

#include "lineopen.h"
#include "linetrace.h"
#include "mdlcomport.h"
#include "portname.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>
#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

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

QString withoutControls(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u <= 0x9f))
            shown += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

QString lineText(const QString &bytes)
{
    QString shown;
    shown.reserve(bytes.size());
    for (const QChar c : bytes) {
        const ushort u = c.unicode();
        if (u < 0x20 || u >= 0x7f)
            shown += QStringLiteral("\\x%1").arg(u & 0xff, 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

void error(const QString &text)
{
    const QByteArray bytes = QStringLiteral("kestran-ctl: %1\n").arg(withoutControls(text)).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

void out(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

namespace {

// What names one file: device and inode when it exists ("-" is the standard
// stream `fd`), else the absolute path it would be created at.
struct FileIdentity {
    bool exists = false;
    bool terminalLike = false;   // a character device: a terminal, /dev/null, a serial port
    quint64 dev = 0, ino = 0;
    QString path;

    bool operator==(const FileIdentity &o) const
    {
        if (exists != o.exists)
            return false;
#ifdef Q_OS_WIN
        return path.compare(o.path, Qt::CaseInsensitive) == 0;
#else
        return exists ? dev == o.dev && ino == o.ino : path == o.path;
#endif
    }
};

FileIdentity identify(const QString &name, int fd)
{
    FileIdentity id;
#ifdef Q_OS_WIN
    if (isStdStream(name))
        return id;
    const QFileInfo info(name);
    id.exists = info.exists();
    id.path = id.exists ? info.canonicalFilePath() : QDir::cleanPath(info.absoluteFilePath());
#else
    struct stat st {};
    const int rc = isStdStream(name) ? ::fstat(fd, &st) : ::stat(QFile::encodeName(name).constData(), &st);
    if (rc == 0) {
        id.exists = true;
        id.dev = quint64(st.st_dev);
        id.ino = quint64(st.st_ino);
        id.terminalLike = S_ISCHR(st.st_mode);
    } else if (!isStdStream(name)) {
        // Not there yet: where it would be, with the folder's links resolved.
        const QFileInfo info(name);
        const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
        id.path = (folder.isEmpty() ? info.absolutePath() : folder) + QLatin1Char('/') + info.fileName();
    }
#endif
    return id;
}

} // namespace

int checkTraceFile(const Invocation &inv)
{
    if (inv.trace.isEmpty())
        return kDone;
    const FileIdentity trace = identify(inv.trace, -1);
    if (!trace.exists && trace.path.isEmpty())
        return kDone;
    struct Used {
        QString name;
        int fd;
        QString what;
    };
    QVector<Used> used;
    // A trace on the terminal that also shows the output is for watching; a
    // trace into the file or pipe that carries a document would spoil it.
    if (!trace.terminalLike) {
        if (!inv.output.isEmpty())
            used.append({inv.output, 1, QStringLiteral("the output file")});
        if (inv.command == QLatin1String("restore"))
            for (const QString &a : inv.arguments)
                used.append({a, 0, QStringLiteral("the backup file")});
    }
    if (inv.command != QLatin1String("ports") && !inv.port.trimmed().isEmpty()) {
        const PortText port = parsePortText(inv.port, ComPrefix::ComLetters);
        if (port.kind == PortText::Path)
            used.append({port.path, -1, QStringLiteral("the port")});
        else if (port.kind == PortText::Com)
            if (const auto dev = mdlCOMPort::portTable().device(port.number))
                used.append({dev->path, -1, QStringLiteral("the port")});
    }
    for (const Used &u : std::as_const(used)) {
        if (identify(u.name, u.fd) == trace) {
            error(QStringLiteral("the trace file %1 is %2 of this command; give the trace a file of its own")
                      .arg(inv.trace, u.what));
            return kUsage;
        }
    }
    return kDone;
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
