// monitor: every frame heard on the line, with a time stamp.
#include "cli.h"

#include "framesplitter.h"
#include "linetrace.h"
#include "parameters.h"
#include "valueinput.h"
#include "values.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

namespace kestran::cli {

namespace {

QString printable(const QByteArray &bytes)
{
    QString s;
    for (const char c : bytes)
        s += (c >= 32 && c < 127) ? QLatin1Char(c) : QLatin1Char('.');
    return s;
}

QString describe(const LineFrame &f, const QString &stamp, bool json)
{
    const QString name = f.index ? scriptName(*parameterFor(QLatin1Char(f.index))) : QString();
    if (json) {
        QJsonObject o{{QStringLiteral("time"), stamp}};
        switch (f.kind) {
        case LineFrame::Reply:
            o.insert(QStringLiteral("kind"), QStringLiteral("reply"));
            o.insert(QStringLiteral("device"), f.device);
            o.insert(QStringLiteral("name"), name);
            o.insert(QStringLiteral("index"), f.index - '0');
            o.insert(QStringLiteral("value"), f.value);
            {
                bool ok = false;
                const qint64 n = formatDisplay(f.value).toLongLong(&ok);
                o.insert(QStringLiteral("number"), ok ? QJsonValue(n) : QJsonValue());
            }
            break;
        case LineFrame::ReadAll:
            o.insert(QStringLiteral("kind"), QStringLiteral("read-all"));
            o.insert(QStringLiteral("device"), f.device);
            break;
        case LineFrame::Write:
            o.insert(QStringLiteral("kind"), QStringLiteral("write"));
            o.insert(QStringLiteral("device"), f.device);
            o.insert(QStringLiteral("name"), name);
            o.insert(QStringLiteral("index"), f.index - '0');
            o.insert(QStringLiteral("value"), f.value);
            break;
        case LineFrame::Other:
            o.insert(QStringLiteral("kind"), QStringLiteral("other"));
            o.insert(QStringLiteral("hex"), QString::fromLatin1(f.bytes.toHex(' ')));
            break;
        }
        return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) + QLatin1Char('\n');
    }
    switch (f.kind) {
    case LineFrame::Reply:
        return QStringLiteral("%1  reply     device %2  %3  %4  %5\n")
            .arg(stamp).arg(f.device).arg(name.leftJustified(10), lineText(f.value), lineText(formatDisplay(f.value)));
    case LineFrame::ReadAll:
        return QStringLiteral("%1  read-all  device %2\n").arg(stamp).arg(f.device);
    case LineFrame::Write:
        return QStringLiteral("%1  write     device %2  %3  %4\n").arg(stamp).arg(f.device).arg(name.leftJustified(10), lineText(f.value));
    case LineFrame::Other:
        break;
    }
    return QStringLiteral("%1  other     %2  |%3|\n")
        .arg(stamp, QString::fromLatin1(f.bytes.toHex(' ')), printable(f.bytes));
}

} // namespace

int runMonitor(const Invocation &inv)
{
    if (!inv.arguments.isEmpty()) {
        error(QStringLiteral("monitor takes no argument \u201C%1\u201D").arg(inv.arguments.first()));
        return kUsage;
    }
    int rc = kDone;
    // Ctrl-C, SIGTERM or the console closing end listening cleanly: the stop
    // request interrupts the client, and the loop ends between two chunks.
    SessionPtr s = openSession(inv, &rc, true);
    if (!s)
        return rc;

    FrameSplitter splitter;
    const bool json = inv.format == Format::Json;
    long printed = 0;
    QString stamp;
    auto print = [&](const QVector<LineFrame> &frames) {
        for (const LineFrame &f : frames) {
            if (inv.count >= 0 && printed >= inv.count)
                return;
            out(describe(f, stamp, json));
            ++printed;
        }
    };
    // Bytes outside any frame are shown once the line has been quiet a moment.
    QTimer quiet;
    quiet.setSingleShot(true);
    quiet.setInterval(20);
    QObject::connect(&quiet, &QTimer::timeout, [&] { print(splitter.flushNoise()); });
    client(*s).setReceiveTap([&](const QByteArray &bytes) {
        // JSON carries the offset from UTC, so a stamp means one moment anywhere.
        const QDateTime now = QDateTime::currentDateTime();
        stamp = json ? LineTrace::timeStamp(now) : now.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"));
        print(splitter.feed(bytes));
        quiet.start();
    });
    progress(inv, QStringLiteral("listening on %1 (Ctrl-C ends)").arg(inv.port.trimmed()));
    const int ms = inv.durationS > 0 ? int(qMin(inv.durationS * 1000.0, 2.0e9)) : -1;
    // Listening ends too when standard output can no longer be written. The
    // stop is looked at four times a second: a quiet line costs next to
    // nothing then, under Wine too (every 50 ms it was 2.7% of a core there).
    CounterClient &c = client(*s);
    c.listen(ms, [&] { return c.interrupted() || outputFailed() || (inv.count >= 0 && printed >= inv.count); },
             250);
    print(splitter.flushAll());
    if (client(*s).lineLost())
        return lineLost(client(*s).ending());
    progress(inv, QStringLiteral("%1 frame%2 heard").arg(printed).arg(printed == 1 ? "" : "s"));
    return kDone;
}

} // namespace kestran::cli
