#include "linetrace.h"

#include <QDateTime>
#include <QFileInfo>

#include <cstdlib>

namespace kestran {

namespace {
QByteArray nowStamp()
{
    return LineTrace::timeStamp(QDateTime::currentDateTime()).toLatin1();
}
} // namespace

QString LineTrace::timeStamp(const QDateTime &time)
{
    const int offset = time.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"))
        + QLatin1Char(offset < 0 ? '-' : '+')
        + QStringLiteral("%1:%2").arg(minutes / 60, 2, 10, QLatin1Char('0')).arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

LineTrace::LineTrace(QObject *parent)
    : QObject(parent), m_gap(this)   // its child, so that it moves along to the thread of the line it traces
{
    m_gap.setSingleShot(true);
    m_gap.setInterval(kBurstGapMs);
    connect(&m_gap, &QTimer::timeout, this, &LineTrace::flush);
}

LineTrace::~LineTrace()
{
    flush();
}

bool LineTrace::open(const QString &path, QString *error)
{
    m_file.setFileName(path);
    if (QFileInfo(path).isDir() || !m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        if (error)
            *error = QStringLiteral("cannot write the trace file %1: %2")
                         .arg(path, QFileInfo(path).isDir() ? QStringLiteral("it is a folder") : m_file.errorString());
        return false;
    }
    m_clock.start();
    m_failed = false;
    // The head line is written at once, so a file that takes nothing (a full
    // disk, /dev/full) is refused here, with the system's reason.
    const QByteArray head = "# kestran line trace: time, seconds since start, TX sent / RX received, hex, |ASCII|\n";
    if (m_file.write(head) != head.size() || !m_file.flush()) {
        if (error)
            *error = QStringLiteral("cannot write the trace file %1: %2").arg(path, m_file.errorString());
        m_file.close();
        m_failed = true;
        return false;
    }
    return true;
}

void LineTrace::record(Direction dir, const QByteArray &bytes)
{
    if (!m_file.isOpen() || bytes.isEmpty())
        return;
    if (!m_pending.isEmpty() && dir != m_dir)
        flush();
    for (qsizetype i = 0; i < bytes.size();) {
        if (m_pending.isEmpty()) {
            m_dir = dir;
            m_pendingStamp = nowStamp();
            m_pendingUs = m_clock.nsecsElapsed() / 1000;
        }
        const qsizetype n = qMin<qsizetype>(kMaxBurst - m_pending.size(), bytes.size() - i);
        m_pending.append(bytes.constData() + i, n);
        i += n;
        if (m_pending.size() >= kMaxBurst)
            flush();
    }
    if (!m_pending.isEmpty())
        m_gap.start();
}

void LineTrace::flush()
{
    m_gap.stop();
    if (m_pending.isEmpty())
        return;
    writeLine(formatLine(m_pendingStamp, m_pendingUs, m_dir, m_pending));
    m_pending.clear();
}

void LineTrace::note(const QString &text)
{
    if (!m_file.isOpen())
        return;
    flush();
    writeLine("# " + nowStamp() + "  " + text.toUtf8() + '\n');
}

QByteArray LineTrace::formatLine(const QByteArray &stamp, qint64 sinceStartUs, Direction dir,
                                 const QByteArray &bytes)
{
    QByteArray line = stamp;
    line += "  +" + QByteArray::number(sinceStartUs / 1000000) + '.'
        + QByteArray::number(sinceStartUs % 1000000).rightJustified(6, '0');
    line += dir == Sent ? "  TX  " : "  RX  ";
    line += bytes.toHex(' ');
    line += "  |";
    for (const char c : bytes)
        line += (c >= 32 && c < 127) ? c : '.';
    line += "|\n";
    return line;
}

void LineTrace::writeLine(const QByteArray &line)
{
    if (m_failed)
        return;
    // Written and flushed at once, so a trace survives whatever ends the program.
    if (m_file.write(line) != line.size() || !m_file.flush()) {
        m_failed = true;
        emit writeFailed(QStringLiteral("writing the trace file %1 failed: %2")
                             .arg(m_file.fileName(), m_file.errorString()));
    }
}

// ---------------------------------------------------------------- TracingControl

TracingControl::TracingControl(SerialControl *inner, LineTrace *trace, QObject *parent)
    : SerialControl(parent), m_inner(inner), m_trace(trace)
{
    connect(inner, &SerialControl::OnComm, this, &SerialControl::OnComm);
    connect(inner, &SerialControl::connectionLost, this, [this](const QString &reason) {
        m_trace->note(QStringLiteral("line lost: %1").arg(reason));
        emit connectionLost(reason);
    });
}

bool TracingControl::setPortOpen(bool open)
{
    const bool wasOpen = m_inner->PortOpen();
    const bool ok = m_inner->setPortOpen(open);
    if (open && ok && !wasOpen)
        m_trace->note(QStringLiteral("port opened (%1)").arg(m_inner->Settings()));
    else if (open && !ok)
        m_trace->note(QStringLiteral("port not opened: %1").arg(m_inner->errorString()));
    else if (!open && wasOpen)
        m_trace->note(QStringLiteral("port closed"));
    return ok;
}

void TracingControl::setOutput(const QString &text)
{
    // A closed port sends nothing, so nothing is recorded either.
    if (m_inner->PortOpen())
        m_trace->record(LineTrace::Sent, text.toLatin1());
    m_inner->setOutput(text);
}

QString TracingControl::Input()
{
    const QString in = m_inner->Input();
    m_trace->record(LineTrace::Received, in.toLatin1());
    return in;
}

} // namespace kestran
