#include "netcomm.h"
#include "gatewayfaults.h"
#include "greetinghold.h"
#include "portname.h"
#include "receiveevents.h"
#include "telnetcomport.h"
#include "tlssession.h"
#include "tlssettings.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSslSocket>
#include <QEventLoop>
#include <QMetaObject>
#include <QNetworkProxy>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace kestran {

namespace {

// After connecting, the line settles before the open completes: what comes
// until it has been quiet this long cannot answer a request not yet sent
// (late replies held by the gateway, a banner), and is dropped. ser2net
// hands on what its device held some 45 ms after a TLS handshake.
constexpr int kSettleQuietMs = 100;
// A gateway that keeps sending does not hold the open longer than this.
constexpr int kSettleMaxMs = 500;

} // namespace

struct NetComm::Private {
    enum class Wait { None, Pending, Settling, Connected, Failed, TimedOut };

    NetComm *q = nullptr;
    QTcpSocket *socket = nullptr;    // one per connection
    TelnetComPort telnet;
    bool rfc2217 = false;
    bool tls = false;
    TlsSettings tlsSettings;
    // Of the open (or last) TLS connection; made at the first TLS open, so
    // that a program that never opens one never loads the TLS library.
    std::unique_ptr<TlsSession> session;
    bool tcpUp = false;              // the TCP connection is up (TLS: the handshake may still run)
    bool anyReceived = false;        // something came on this connection
    bool anySent = false;            // a line byte of ours went out on it
    QTimer *settle = nullptr;        // ends the settling when the line was quiet
    QElapsedTimer settling;          // since the settling began
    QString target;                  // the device path of the open (or last) connection

    short commPort = 1;
    QString devicePath;
    QString settingsText = QStringLiteral("9600,N,8,1");
    TelnetComPort::Line line;
    int inputMode = 0;

    ReceiveEvents rx;                // received, not yet handed out by Input; the OnComm events
    // What comes now may be the gateway's refusal: the first bytes of the
    // connection, or the first after a command of ours.
    GreetingHold greeting{q, [this](const QByteArray &held) {
                              if (open)
                                  deliver(held);
                          }};
    SerialFault fault = SerialFault::None;
    QString errorString;

    bool open = false;
    bool lost = false;
    Wait wait = Wait::None;
    bool resolved = false;           // the host's address is known (the socket got to connecting)
    quint64 attempt = 0;             // bumped by every open and close: a waiting open sees it was overtaken

    explicit Private(NetComm *owner) : q(owner), rx(owner) {}

    void clearQueue() { rx.clear(); }
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
        tcpUp = true;
        if (wait != Wait::Pending || tls)
            return;   // TLS: the handshake follows
        startSettling();
    }

    void onSslErrors(const QList<QSslError> &errors)
    {
        if (auto *s = qobject_cast<QSslSocket *>(socket))
            session->onSslErrors(s, errors);
    }

    void onEncrypted()
    {
        auto *s = qobject_cast<QSslSocket *>(socket);
        if (wait != Wait::Pending || !s)
            return;
        if (const TlsRefusal r = session->checkEncrypted(s))
            return refuse(r.fault, r.why);
        startSettling();
    }

    // The open fails with `f`; nothing of the line was sent.
    void refuse(SerialFault f, const QString &why)
    {
        if (wait != Wait::Pending && wait != Wait::Settling)
            return;
        wait = Wait::Failed;
        setFault(f, QStringLiteral("%1: %2").arg(target, why));
    }

    // The connection is up (and trusted): the opening goes out, and what
    // comes until the line is quiet is dropped.
    void startSettling()
    {
        wait = Wait::Settling;
        clearQueue();
        lost = false;
        open = true;
        greeting.drop();
        greeting.arm();
        if (rfc2217)
            send(telnet.opening(line) + TelnetComPort::purgeBoth());
        settling.start();
        settle->start(kSettleQuietMs);
        if (socket && socket->bytesAvailable() > 0)
            QMetaObject::invokeMethod(q, [this] { onReadyRead(); }, Qt::QueuedConnection);
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
        if (greeting.armed() && !bytes.isEmpty()) {
            // The gateway's "in use" and the like end the connection, and
            // none of it reaches the reader.
            std::optional<gateway::Verdict> refused;
            bytes = greeting.take(bytes, &refused);
            if (refused)
                return connectionLost(refused->why, refused->fault);
        }
        deliver(bytes);
    }

    void deliver(const QByteArray &bytes)
    {
        if (bytes.isEmpty())
            return;
        anyReceived = true;
        if (wait == Wait::Settling) {
            // Not an answer to anything of ours: dropped, and the quiet starts again.
            if (settling.elapsed() < kSettleMaxMs)
                settle->start(kSettleQuietMs);
            return;
        }
        rx.received(bytes);
    }

    void onError(QAbstractSocket::SocketError error)
    {
        if (wait == Wait::Pending && tls && tcpUp) {
            // Up, but the handshake did not get through.
            const TlsRefusal r = session->handshakeFailed(socket ? socket->errorString() : QString());
            return refuse(r.fault, r.why);
        }
        if (wait == Wait::Pending) {
            wait = Wait::Failed;
            const gateway::Verdict v =
                gateway::connectFailed(resolved, error, socket ? socket->errorString() : QString());
            return setFault(v.fault, QStringLiteral("%1: %2").arg(target, v.why));
        }
        if (open && socket && socket->bytesAvailable() > 0)
            onReadyRead();   // what came before the end (the gateway may have said why)
        if (open)
            connectionLost(error == QAbstractSocket::RemoteHostClosedError
                               ? QString()
                               : (socket ? socket->errorString() : QString()));
    }

    // The open connection went away: closed at once, reported once. `socketError`
    // is empty when the gateway closed it; a gateway's refusal comes with its
    // fault and words.
    void connectionLost(const QString &socketError, SerialFault refused = SerialFault::None)
    {
        if (!open || lost)
            return;
        gateway::Loss facts;
        facts.tls = tls;
        facts.settling = wait == Wait::Settling;
        facts.anySent = anySent;
        facts.anyReceived = anyReceived;
        facts.remoteClosed = socketError.isEmpty();
        facts.socketError = socketError;
        facts.tlsPortText = tlsPortText(target, rfc2217);
        gateway::Verdict v = refused != SerialFault::None ? gateway::Verdict{refused, socketError}
                                                          : gateway::connectionLost(facts);
        if (v.fault == SerialFault::CertRefused && session)
            v.why = session->clientRefused();
        lost = true;
        open = false;
        dropSocket(false);
        clearQueue();
        greeting.drop();
        settle->stop();
        if (facts.settling)
            return refuse(v.fault, v.why);   // gone before the open completed: nothing was sent
        const QString reason = QStringLiteral("%1: %2").arg(target, v.why);
        setFault(v.fault, reason);
        QTimer::singleShot(0, q, [q = q, reason] { emit q->connectionLost(reason); });
    }
};

NetComm::NetComm(QObject *parent)
    : SerialControl(parent), d(new Private(this))
{
    d->settle = new QTimer(this);
    d->settle->setSingleShot(true);
    connect(d->settle, &QTimer::timeout, this, [this] {
        if (d->wait == Private::Wait::Settling)
            d->wait = Private::Wait::Connected;
    });
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
    LineSettings parsed;
    if (!parseLineSettings(settings, &parsed)) {
        d->setFault(SerialFault::BadSettings, badLineSettingsText(settings));
        return false;
    }
    TelnetComPort::setLine(parsed, &d->line);
    d->settingsText = settings;
    if (d->open && d->rfc2217)
        d->send(TelnetComPort::lineSettings(d->line));
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

short NetComm::InBufferCount() const { return d->rx.inBufferCount(); }
void NetComm::setInputMode(int mode) { d->inputMode = mode; }
void NetComm::setInputLen(short n) { d->rx.setInputLen(n); }
void NetComm::setRThreshold(short n) { d->rx.setRThreshold(n); }
void NetComm::setSThreshold(short n) { d->rx.setSThreshold(n); }
void NetComm::setReceiveEventMode(ReceiveEventMode mode) { d->rx.setMode(mode); }

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
        if (d->wait == Private::Wait::Settling)
            d->wait = Private::Wait::None;
        d->open = false;
        d->greeting.drop();
        d->settle->stop();
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
                    QStringLiteral("\u201C%1\u201D is not a network port (tcp://, rfc2217://, tls:// or "
                                   "rfc2217+tls:// HOST:PORT)")
                        .arg(d->devicePath));
        return false;
    }
    d->dropSocket(false);
    d->rfc2217 = port.isRfc2217();
    d->tls = port.isTls();
    d->tcpUp = false;
    d->anyReceived = false;
    d->anySent = false;
    if (d->tls) {
        if (!d->session)
            d->session = std::make_unique<TlsSession>();
        if (const TlsRefusal r = d->session->begin(d->tlsSettings, d->target, port.host, d->rfc2217)) {
            d->setFault(r.fault, QStringLiteral("%1: %2").arg(d->target, r.why));
            return false;
        }
        QSslSocket *ssl = d->session->newSocket(this);
        connect(ssl, &QSslSocket::sslErrors, this, [this](const QList<QSslError> &e) { d->onSslErrors(e); });
        connect(ssl, &QSslSocket::encrypted, this, [this] { d->onEncrypted(); });
        d->socket = ssl;
    } else {
        d->socket = new QTcpSocket(this);
    }
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
        d->connectionLost(QString());
    });
    connect(socket, &QIODevice::bytesWritten, this, [this] {
        if (d->socket && d->socket->bytesToWrite() == 0)
            d->rx.sent();
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
    if (d->tls)
        static_cast<QSslSocket *>(socket)->connectToHostEncrypted(port.host, port.tcpPort);
    else
        socket->connectToHost(port.host, port.tcpPort);
    while (self && d->attempt == attempt
           && (d->wait == Private::Wait::Pending || d->wait == Private::Wait::Settling)) {
        // The deadline is for the connection; settling has its own bound.
        if (d->wait == Private::Wait::Settling)
            deadline.stop();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    if (!self || d->attempt != attempt)
        return false;   // cancelled, or overtaken by an open run meanwhile

    const Private::Wait outcome = d->wait;
    d->wait = Private::Wait::None;
    if (outcome != Private::Wait::Connected) {
        if (outcome == Private::Wait::TimedOut) {
            const bool handshaking = d->tls && d->tcpUp;
            gateway::Verdict v = gateway::openTimedOut(handshaking, d->resolved, kConnectTimeoutMs / 1000);
            if (handshaking)
                v.why += d->session->notTls();
            d->setFault(v.fault, QStringLiteral("%1: %2").arg(d->target, v.why));
        }
        d->open = false;
        d->settle->stop();
        d->dropSocket(false);
        return false;
    }
    // Frames are short and paced: each should leave at once, not wait for an acknowledgement.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // What came while the line settled is gone; a partial "in use" with it.
    d->settle->stop();
    d->clearQueue();
    d->greeting.forgetHeld();
    return true;
}

bool NetComm::PortOpen() const { return d->open; }

void NetComm::setOutput(const QString &text)
{
    if (!d->open || text.isEmpty())
        return;
    const QByteArray bytes = text.toLatin1();
    d->anySent = true;
    // A line server may answer a command with its refusal: the first bytes
    // after each are looked at as the first of the connection are.
    d->greeting.arm();
    d->send(d->rfc2217 ? d->telnet.encode(bytes) : bytes);
}

QString NetComm::Input()
{
    return d->rx.take();
}

short NetComm::CommEvent() const { return d->rx.commEvent(); }
SerialFault NetComm::fault() const { return d->fault; }
QString NetComm::errorString() const { return d->errorString; }
const TelnetComPort &NetComm::telnet() const { return d->telnet; }

void NetComm::setTlsSettings(const TlsSettings &settings) { d->tlsSettings = settings; }
const TlsSettings &NetComm::tlsSettings() const { return d->tlsSettings; }

} // namespace kestran
