#include "mscomm.h"
#include "linesettings.h"
#include "mdlcomport.h"
#include "receiveevents.h"
#include "serialplatform.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMetaObject>
#include "localport.h"
#include <QTimer>

#include <cerrno>
#include <cstring>

namespace kestran {

namespace {

LocalPort::Parity qtParity(char p)
{
    switch (p) {
    case 'E': return LocalPort::EvenParity;
    case 'O': return LocalPort::OddParity;
    case 'M': return LocalPort::MarkParity;
    case 'S': return LocalPort::SpaceParity;
    default:  return LocalPort::NoParity;
    }
}

LocalPort::StopBits qtStopBits(const QString &s)
{
    if (s == QLatin1String("2"))
        return LocalPort::TwoStop;
    if (s == QLatin1String("1.5"))
        return LocalPort::OneAndHalfStop;
    return LocalPort::OneStop;
}

QString sysText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

} // namespace

struct MSComm::Private {
    MSComm *q = nullptr;
    LocalPort *port = nullptr;
    PortTable *table = nullptr;      // nullptr: the system's

    short commPort = 1;
    QString devicePath;
    LineSettings settings;
    int inputMode = 0;
    bool dtrEnable = true;

    ReceiveEvents rx;                // received, not yet handed out by Input; the OnComm events

    SerialFault fault = SerialFault::None;
    QString errorString;

    bool opening = false;            // inside LocalPort::open
    bool closing = false;            // inside LocalPort::close
    bool inCall = false;             // inside one of our own setter calls on the open port
    bool lost = false;               // the connection was lost; reported once

    explicit Private(MSComm *owner) : q(owner), rx(owner) {}

    PortTable &portTable() const { return table ? *table : mdlCOMPort::portTable(); }

    // Opening and closing the port empty the queue too: events posted before are dropped.
    void clearQueue() { rx.clear(); }

    void setFault(SerialFault f, const QString &text)
    {
        fault = f;
        errorString = text;
    }

    bool applySettings(const LineSettings &s)
    {
        inCall = true;
        bool ok = port->setBaudRate(s.baud);
        ok = port->setDataBits(LocalPort::DataBits(s.dataBits)) && ok;
        ok = port->setParity(qtParity(s.parity)) && ok;
        ok = port->setStopBits(qtStopBits(s.stopBits)) && ok;
        ok = port->setFlowControl(LocalPort::NoFlowControl) && ok;
        inCall = false;
        return ok;
    }

    void applyDtr()
    {
        // A pseudo-terminal has no modem lines and refuses the request; that
        // does not matter to the line itself.
        inCall = true;
        port->setDataTerminalReady(dtrEnable);
        inCall = false;
    }

    void onReadyRead()
    {
        const QByteArray chunk = port->readAll();
        if (chunk.isEmpty())
            return;
        rx.received(chunk);
    }

    void onBytesWritten()
    {
        if (port->bytesToWrite() == 0)
            rx.sent();
    }

    void onError(LocalPort::SerialPortError error)
    {
        if (error == LocalPort::NoError || opening || closing || inCall || lost || !port->isOpen())
            return;
        // Raised from the event loop, outside any call of ours: the line is
        // gone. Qt would go on raising the same read error without end, so the
        // port is closed here and now.
        const QString path = port->portName().startsWith(QLatin1Char('/'))
                ? port->portName() : q->m_openedPath;
        QString reason = port->errorString();
        if (serialplatform::deviceGone(q->m_openedPath)) {
            reason = QStringLiteral("the device was removed (%1)").arg(sysText(ENOENT));
        } else if (error == LocalPort::ReadError && (reason == sysText(ENOTTY) || reason.isEmpty())) {
            // A hung-up line reads as end of file; errno still holds whatever
            // an earlier call left there.
            reason = QStringLiteral("the line was hung up (end of file)");
        }
        reason = QStringLiteral("%1: %2").arg(q->m_openedPath.isEmpty() ? path : q->m_openedPath, reason);
        lost = true;
        closing = true;
        port->close();
        closing = false;
        clearQueue();
        setFault(SerialFault::Lost, reason);
        QTimer::singleShot(0, q, [q = q, reason] { emit q->connectionLost(reason); });
    }

    void classifyOpenFailure(const QString &path)
    {
        const qint64 owner = portTable().lockOwnerOf(path);
        QString why;
        const SerialFault f = serialplatform::classifyOpenFailure(path, port->error(), port->errorString(), owner, &why);
        setFault(f, QStringLiteral("%1: %2").arg(path, why));
    }
};

MSComm::MSComm(QObject *parent)
    : SerialControl(parent), d(new Private(this))
{
    d->port = new LocalPort(this);
    connect(d->port, &LocalPort::readyRead, this, [this] { d->onReadyRead(); });
    connect(d->port, &LocalPort::bytesWritten, this, [this] { d->onBytesWritten(); });
    connect(d->port, &LocalPort::errorOccurred, this,
            [this](LocalPort::SerialPortError e) { d->onError(e); });
}

MSComm::~MSComm()
{
    // The port goes first, while the state its signals reach still exists.
    d->closing = true;
    delete d->port;
    d->port = nullptr;
    delete d;
}

void MSComm::setPortTable(PortTable *table)
{
    d->table = table;
}

void MSComm::setCommPort(short port)
{
    d->commPort = port;
}

short MSComm::CommPort() const
{
    return d->commPort;
}

void MSComm::setDevicePath(const QString &path)
{
    d->devicePath = path;
}

QString MSComm::devicePath() const
{
    return d->devicePath;
}

bool MSComm::setSettings(const QString &settings)
{
    LineSettings parsed;
    if (!parseLineSettings(settings, &parsed)) {
        d->setFault(SerialFault::BadSettings, badLineSettingsText(settings));
        return false;
    }
    const LineSettings old = d->settings;
    d->settings = parsed;
    if (d->port->isOpen() && !d->applySettings(parsed)) {
        const QString why = d->port->errorString();
        d->settings = old;
        d->applySettings(old);
        d->setFault(SerialFault::Other, QStringLiteral("%1: %2").arg(m_openedPath, why));
        return false;
    }
    return true;
}

QString MSComm::Settings() const
{
    return d->settings.text();
}

void MSComm::setInBufferCount(short n)
{
    if (n != 0)
        return;   // only emptying is meaningful
    d->clearQueue();
    if (d->port->isOpen()) {
        d->inCall = true;
        d->port->clear(LocalPort::Input);
        d->inCall = false;
    }
}

short MSComm::InBufferCount() const
{
    return d->rx.inBufferCount();
}

void MSComm::setInputMode(int mode)
{
    d->inputMode = mode;
}

void MSComm::setInputLen(short n)
{
    d->rx.setInputLen(n);
}

void MSComm::setRThreshold(short n)
{
    d->rx.setRThreshold(n);
}

void MSComm::setSThreshold(short n)
{
    d->rx.setSThreshold(n);
}

void MSComm::setReceiveEventMode(ReceiveEventMode mode)
{
    d->rx.setMode(mode);
}

bool MSComm::setReceiveWant(int bytes)
{
    // Only a reader that takes every arrival whole may be made to wait: one
    // event a byte is the control's own rule.
    if (!d->port->isOpen() || d->rx.mode() != ReceiveEventMode::PerArrival)
        return false;
    return serialplatform::setWakeThreshold(d->port, bytes);
}

void MSComm::setDTREnable(bool on)
{
    d->dtrEnable = on;
    if (d->port->isOpen())
        d->applyDtr();
}

bool MSComm::setPortOpen(bool open)
{
    LocalPort *port = d->port;
    if (!open) {
        if (port->isOpen()) {
            // The device keeps its settings for whoever opens it next.
            serialplatform::setWakeThreshold(port, 1);
            d->closing = true;
            port->close();
            d->closing = false;
            d->setFault(SerialFault::None, QString());
        }
        d->clearQueue();
        return true;
    }
    if (port->isOpen())
        return true;

    QString path = d->devicePath;
    if (path.isEmpty()) {
        const auto device = (d->commPort >= 1 && d->commPort <= 255)
                ? d->portTable().device(d->commPort) : std::nullopt;
        if (!device) {
            m_openedPath.clear();
            d->setFault(SerialFault::BadPortNumber,
                        QStringLiteral("COM%1: no such port (this computer has %2 serial port%3)")
                                .arg(d->commPort).arg(d->portTable().count())
                                .arg(d->portTable().count() == 1 ? "" : "s"));
            return false;
        }
        path = device->path;
    }
    m_openedPath = path;

    // Honour the lock files other programs leave (Qt would take over a lock
    // that is not in its own format even while its owner runs). Locks go by
    // the device itself, whatever link leads to it.
    const qint64 owner = d->portTable().lockOwnerOf(path);
    if (owner > 0 && owner != QCoreApplication::applicationPid()) {
        d->setFault(SerialFault::Busy, QStringLiteral("%1: %2 (locked by process %3)")
                                               .arg(path, sysText(EBUSY)).arg(owner));
        return false;
    }

    // Opened by its own path, so that the lock the port takes carries the
    // device's name and not the link's.
    const QString canonical = QFileInfo(path).canonicalFilePath();
    port->setPortName(canonical.isEmpty() ? path : canonical);
    d->applySettings(d->settings);
    d->opening = true;
    const bool ok = port->open(QIODevice::ReadWrite);
    d->opening = false;
    if (!ok) {
        d->classifyOpenFailure(path);
        return false;
    }
    d->clearQueue();
    d->lost = false;
    if (!d->dtrEnable)
        d->applyDtr();
    d->setFault(SerialFault::None, QString());
    return true;
}

bool MSComm::PortOpen() const
{
    return d->port->isOpen();
}

void MSComm::setOutput(const QString &text)
{
    LocalPort *port = d->port;
    if (!port->isOpen() || text.isEmpty())
        return;
    const QByteArray bytes = text.toLatin1();
    qsizetype done = 0;
    if (port->bytesToWrite() == 0) {
        // Nothing queued ahead: hand the bytes to the driver now, so they
        // leave at once rather than at the next turn of the event loop.
        done = serialplatform::writeNow(port, bytes.constData(), bytes.size());
    }
    if (done < bytes.size()) {
        // The rest waits in the port's queue; its completion raises the send event.
        d->inCall = true;
        port->write(bytes.constData() + done, bytes.size() - done);
        d->inCall = false;
    } else {
        d->rx.sent();
    }
}

QString MSComm::Input()
{
    return d->rx.take();
}

short MSComm::CommEvent() const
{
    return d->rx.commEvent();
}

SerialFault MSComm::fault() const
{
    return d->fault;
}

QString MSComm::errorString() const
{
    return d->errorString;
}

} // namespace kestran
