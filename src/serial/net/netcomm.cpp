#include "netcomm.h"
#include "portname.h"
#include "receivequeue.h"
#include "telnetcomport.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QNetworkProxy>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace kestran {

namespace {

// "19200,N,8,1" read into the gateway's terms; false when malformed.
bool parseSettings(const QString &text, TelnetComPort::Line *out)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return false;
    bool ok = false;
    const QString baudText = parts.at(0).trimmed();
    const uint baud = baudText.toUInt(&ok);
    if (!ok || baudText.startsWith(QLatin1Char('+')) || baud < 1 || baud > 4000000)
        return false;
    const int parity = QStringLiteral("NOEMS").indexOf(parts.at(1).trimmed().toUpper());
    if (parts.at(1).trimmed().size() != 1 || parity < 0)
        return false;
    const QString data = parts.at(2).trimmed();
    if (data.size() != 1 || data.at(0) < QLatin1Char('5') || data.at(0) > QLatin1Char('8'))
        return false;
    const int stop = QStringList{QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("1.5")}
                         .indexOf(parts.at(3).trimmed());
    if (stop < 0)
        return false;
    out->baud = baud;
    out->parity = quint8(parity + 1);
    out->dataBits = quint8(data.toInt());
    out->stopSize = quint8(stop + 1);
    return true;
}

// What ser2net says, and then closes the connection, when another client
// holds the port: these bytes come from the gateway, not from the line.
constexpr char kPortInUse[] = "Port already in use";
// The first bytes of a connection that could be the start of that text are
// held back this long at most before they are handed on as the line's.
constexpr int kGreetingHoldMs = 200;

} // namespace

struct NetComm::Private {
    enum class Wait { None, Pending, Connected, Failed, TimedOut };

    NetComm *q = nullptr;
    QTcpSocket *socket = nullptr;    // one per connection
    TelnetComPort telnet;
    bool rfc2217 = false;
    QString target;                  // the device path of the open (or last) connection

    short commPort = 1;
    QString devicePath;
    QString settingsText = QStringLiteral("9600,N,8,1");
    TelnetComPort::Line line;
    short inputLen = 0;
    short rThreshold = 0;
    short sThreshold = 0;
    int inputMode = 0;

    ReceiveQueue rx;                 // received, not yet handed out by Input
    bool greeting = false;           // nothing of the line has come on this connection yet
    QByteArray held;                 // its first bytes, while they may be the gateway's refusal
    QTimer *release = nullptr;       // hands `held` on when nothing more comes
    short commEvent = 0;
    SerialFault fault = SerialFault::None;
    QString errorString;

    bool open = false;
    bool lost = false;
    Wait wait = Wait::None;
    bool resolved = false;           // the host's address is known (the socket got to connecting)
    quint64 attempt = 0;             // bumped by every open and close: a waiting open sees it was overtaken
    quint64 generation = 0;          // events posted under an older value are dropped

    qsizetype waiting() const { return rx.size(); }
    void clearQueue()
    {
        rx.clear();
        ++generation;
    }
    void setFault(SerialFault f, const QString &text)
    {
        fault = f;
        errorString = text;
    }

    void send(const QByteArray &bytes)
    {
        if (socket && !bytes.isEmpty())
            socket->write(bytes);
    }

    void postEvent(CommEventCode code)
    {
        const quint64 gen = generation;
        QMetaObject::invokeMethod(q, [this, gen, code] {
            if (gen != generation)
                return;
            if (code == CommEventCode::Receive && (rThreshold < 1 || waiting() < rThreshold))
                return;
            if (code == CommEventCode::Send && sThreshold < 1)
                return;
            commEvent = short(code);
            emit q->OnComm();
        }, Qt::QueuedConnection);
    }

    // Lets go of the socket: what is written still leaves, then it closes and goes.
    void dropSocket(bool graceful)
    {
        QTcpSocket *s = socket;
        socket = nullptr;
        if (!s)
            return;
        QObject::disconnect(s, nullptr, q, nullptr);
        if (graceful && s->state() == QAbstractSocket::ConnectedState) {
            QObject::connect(s, &QAbstractSocket::disconnected, s, &QObject::deleteLater);
            QTimer::singleShot(kConnectTimeoutMs, s, [s] { s->abort(); s->deleteLater(); });
            s->disconnectFromHost();
            return;
        }
        s->abort();
        s->deleteLater();
    }

    void onConnected()
    {
        if (wait != Wait::Pending)
            return;
        wait = Wait::Connected;
    }

    void onReadyRead()
    {
        if (!open || !socket)
            return;
        QByteArray bytes = socket->readAll();
        if (rfc2217) {
            QByteArray answer;
            bytes = telnet.decode(bytes, &answer);
            send(answer);
        }
        if (greeting && !bytes.isEmpty())
            bytes = screenGreeting(bytes);
        deliver(bytes);
    }

    void deliver(const QByteArray &bytes)
    {
        if (bytes.isEmpty())
            return;
        rx.append(bytes);
        for (qsizetype i = 0; i < bytes.size(); ++i)
            postEvent(CommEventCode::Receive);
    }

    // The first bytes of a connection: the gateway's "in use" refusal ends
    // the connection as busy, and none of it reaches the reader; anything
    // else is the line's.
    QByteArray screenGreeting(const QByteArray &bytes)
    {
        held += bytes;
        const QByteArrayView inUse(kPortInUse);
        if (held.startsWith(inUse)) {
            held.clear();
            greeting = false;
            connectionLost(QStringLiteral("the gateway's port is in use: another client holds it "
                                          "(the gateway said \u201C%1\u201D); nothing reached the line")
                               .arg(QLatin1String(kPortInUse)),
                           SerialFault::Busy);
            return {};
        }
        if (inUse.startsWith(held)) {
            release->start(kGreetingHoldMs);
            return {};
        }
        greeting = false;
        release->stop();
        return std::exchange(held, QByteArray());
    }

    void releaseHeld()
    {
        if (!greeting || !open)
            return;
        greeting = false;
        deliver(std::exchange(held, QByteArray()));
    }

    void onError(QAbstractSocket::SocketError error)
    {
        if (wait == Wait::Pending) {
            wait = Wait::Failed;
            const QString why = socket ? socket->errorString() : QString();
            // Whatever fails before an address is known is the name's lookup
            // (a resolver that cannot be reached says "temporary failure").
            if (!resolved)
                return setFault(SerialFault::HostNotFound, QStringLiteral("%1: %2").arg(target, why));
            switch (error) {
            case QAbstractSocket::ConnectionRefusedError:
                return setFault(SerialFault::Refused, QStringLiteral("%1: %2").arg(target, why));
            case QAbstractSocket::HostNotFoundError:
                return setFault(SerialFault::HostNotFound, QStringLiteral("%1: %2").arg(target, why));
            case QAbstractSocket::SocketTimeoutError:
                return setFault(SerialFault::TimedOut, QStringLiteral("%1: %2").arg(target, why));
            default:
                return setFault(SerialFault::Other, QStringLiteral("%1: %2").arg(target, why));
            }
        }
        if (open && socket && socket->bytesAvailable() > 0)
            onReadyRead();   // what came before the end (the gateway may have said why)
        if (open)
            connectionLost(error == QAbstractSocket::RemoteHostClosedError
                               ? QStringLiteral("the gateway closed the connection")
                               : (socket ? socket->errorString() : QString()));
    }

    // The open connection went away: closed at once, reported once.
    void connectionLost(const QString &why, SerialFault f = SerialFault::Lost)
    {
        if (!open || lost)
            return;
        lost = true;
        open = false;
        dropSocket(false);
        clearQueue();
        release->stop();
        held.clear();
        const QString reason = QStringLiteral("%1: %2").arg(target, why);
        setFault(f, reason);
        QTimer::singleShot(0, q, [q = q, reason] { emit q->connectionLost(reason); });
    }
};

NetComm::NetComm(QObject *parent)
    : SerialControl(parent), d(new Private)
{
    d->q = this;
    d->release = new QTimer(this);
    d->release->setSingleShot(true);
    connect(d->release, &QTimer::timeout, this, [this] { d->releaseHeld(); });
}

NetComm::~NetComm()
{
    // The sockets are children and go with this object; none may reach the state first.
    if (d->socket)
        QObject::disconnect(d->socket, nullptr, this, nullptr);
    ++d->attempt;
    delete d;
}

void NetComm::setCommPort(short port) { d->commPort = port; }
short NetComm::CommPort() const { return d->commPort; }
void NetComm::setDevicePath(const QString &path) { d->devicePath = path; }
QString NetComm::devicePath() const { return d->devicePath; }

bool NetComm::setSettings(const QString &settings)
{
    TelnetComPort::Line parsed = d->line;
    if (!parseSettings(settings, &parsed)) {
        d->setFault(SerialFault::BadSettings,
                    QStringLiteral("\u201C%1\u201D is not a line setting (expected baud,parity,data,stop such as 19200,N,8,1)")
                        .arg(settings));
        return false;
    }
    d->line = parsed;
    d->settingsText = settings;
    if (d->open && d->rfc2217)
        d->send(TelnetComPort::lineSettings(parsed));
    return true;
}

QString NetComm::Settings() const { return d->settingsText; }

void NetComm::setInBufferCount(short n)
{
    if (n != 0)
        return;
    // What the socket holds is emptied too, through the Telnet layer and the
    // look for the gateway's refusal; bytes held back as a possible refusal stay.
    if (d->open && d->socket && d->socket->bytesAvailable() > 0)
        d->onReadyRead();
    d->clearQueue();
}

short NetComm::InBufferCount() const { return short(qMin<qsizetype>(d->waiting(), 32767)); }
void NetComm::setInputMode(int mode) { d->inputMode = mode; }
void NetComm::setInputLen(short n) { d->inputLen = n < 0 ? 0 : n; }
void NetComm::setRThreshold(short n) { d->rThreshold = n < 0 ? 0 : n; }
void NetComm::setSThreshold(short n) { d->sThreshold = n < 0 ? 0 : n; }

void NetComm::setDTREnable(bool on)
{
    d->line.dtr = on;
    if (d->open && d->rfc2217)
        d->send(TelnetComPort::dtrControl(on));
}

bool NetComm::setPortOpen(bool open)
{
    ++d->attempt;
    if (!open) {
        // Closing also cancels an open still waiting for its connection.
        if (d->wait == Private::Wait::Pending) {
            d->wait = Private::Wait::None;
            d->setFault(SerialFault::Cancelled, QStringLiteral("%1: the connection was cancelled").arg(d->target));
        } else if (d->open) {
            d->setFault(SerialFault::None, QString());
        }
        d->open = false;
        d->greeting = false;
        d->held.clear();
        d->release->stop();
        d->dropSocket(true);
        d->clearQueue();
        return true;
    }
    if (d->open)
        return true;

    const PortText port = parsePortText(d->devicePath);
    d->target = d->devicePath;
    if (!port.isNetwork()) {
        d->setFault(SerialFault::NotFound,
                    QStringLiteral("\u201C%1\u201D is not a network port (tcp://HOST:PORT or rfc2217://HOST:PORT)")
                        .arg(d->devicePath));
        return false;
    }
    d->dropSocket(false);
    d->rfc2217 = port.kind == PortText::Rfc2217;
    d->socket = new QTcpSocket(this);
    QTcpSocket *socket = d->socket;
    // The gateway is reached directly, whatever proxy the application may set.
    socket->setProxy(QNetworkProxy::NoProxy);
    d->resolved = false;
    connect(socket, &QAbstractSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        if (state == QAbstractSocket::ConnectingState || state == QAbstractSocket::ConnectedState)
            d->resolved = true;
    });
    connect(socket, &QAbstractSocket::connected, this, [this] { d->onConnected(); });
    connect(socket, &QIODevice::readyRead, this, [this] { d->onReadyRead(); });
    connect(socket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) { d->onError(e); });
    connect(socket, &QAbstractSocket::disconnected, this, [this] {
        if (d->open && d->socket && d->socket->bytesAvailable() > 0)
            d->onReadyRead();
        d->connectionLost(QStringLiteral("the gateway closed the connection"));
    });
    connect(socket, &QIODevice::bytesWritten, this, [this] {
        if (d->socket && d->socket->bytesToWrite() == 0)
            d->postEvent(CommEventCode::Send);
    });

    // Wait for the connection in the event loop: the window repaints and
    // answers, and a handler run meanwhile may close (cancel) or open again.
    const quint64 attempt = d->attempt;
    d->wait = Private::Wait::Pending;
    d->setFault(SerialFault::None, QString());
    QPointer<NetComm> self(this);
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, [this, attempt] {
        if (d->attempt == attempt && d->wait == Private::Wait::Pending)
            d->wait = Private::Wait::TimedOut;
    });
    deadline.start(kConnectTimeoutMs);
    socket->connectToHost(port.host, port.tcpPort);
    while (self && d->attempt == attempt && d->wait == Private::Wait::Pending)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (!self || d->attempt != attempt)
        return false;   // cancelled, or overtaken by an open run meanwhile

    const Private::Wait outcome = d->wait;
    d->wait = Private::Wait::None;
    if (outcome != Private::Wait::Connected) {
        // A name still being looked up at the deadline did not resolve in time.
        if (outcome == Private::Wait::TimedOut && !d->resolved)
            d->setFault(SerialFault::HostNotFound, QStringLiteral("%1: the name did not resolve within %2 seconds")
                                                       .arg(d->target).arg(kConnectTimeoutMs / 1000));
        else if (outcome == Private::Wait::TimedOut)
            d->setFault(SerialFault::TimedOut, QStringLiteral("%1: the connection timed out after %2 seconds")
                                                   .arg(d->target).arg(kConnectTimeoutMs / 1000));
        d->dropSocket(false);
        return false;
    }
    // Frames are short and paced: each should leave at once, not wait for an acknowledgement.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    d->clearQueue();
    d->lost = false;
    d->open = true;
    d->greeting = true;
    d->held.clear();
    if (d->rfc2217)
        d->send(d->telnet.opening(d->line));
    // Bytes that came with the connection are read like any later ones.
    if (socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, [this] { d->onReadyRead(); }, Qt::QueuedConnection);
    return true;
}

bool NetComm::PortOpen() const { return d->open; }

void NetComm::setOutput(const QString &text)
{
    if (!d->open || text.isEmpty())
        return;
    const QByteArray bytes = text.toLatin1();
    d->send(d->rfc2217 ? d->telnet.encode(bytes) : bytes);
}

QString NetComm::Input()
{
    return d->rx.take(d->inputLen);
}

short NetComm::CommEvent() const { return d->commEvent; }
SerialFault NetComm::fault() const { return d->fault; }
QString NetComm::errorString() const { return d->errorString; }
const TelnetComPort &NetComm::telnet() const { return d->telnet; }

} // namespace kestran
