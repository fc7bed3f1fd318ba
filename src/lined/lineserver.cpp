#include "lineserver.h"

#include "counterclient.h"
#include "framesplitter.h"
#include "gatewaytexts.h"
#include "linedlog.h"
#include "lineopen.h"
#include "serialcontrol.h"
#include "tlssettings.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace kestran::lined {

namespace {

// One byte on the line at 19200 baud, 8N1: ten bits.
constexpr qint64 kByteNs = 520833;
// Read from a client in pieces of this much, so that a flood of junk is
// looked at a little at a time and never held whole.
constexpr int kReadChunk = 1024;
// A monitor that does not take its copy this fast is cut off.
constexpr qint64 kMonitorBacklog = 64 * 1024;

const char *stateName(LineServer::ClientState s)
{
    switch (s) {
    case LineServer::ClientState::Idle: return "idle";
    case LineServer::ClientState::Queued: return "queued";
    case LineServer::ClientState::Active: return "active";
    case LineServer::ClientState::Closing: return "closing";
    }
    return "?";
}

const char *lineStateName(LineServer::LineState s)
{
    switch (s) {
    case LineServer::LineState::Down: return "down";
    case LineServer::LineState::Opening: return "opening";
    case LineServer::LineState::Idle: return "idle";
    case LineServer::LineState::Reading: return "reading";
    }
    return "?";
}

QString peerText(const QTcpSocket *socket)
{
    QHostAddress a = socket->peerAddress();
    bool v4 = false;
    const quint32 ip4 = a.toIPv4Address(&v4);
    if (v4)
        a = QHostAddress(ip4);
    return a.protocol() == QAbstractSocket::IPv6Protocol
               ? QStringLiteral("[%1]:%2").arg(a.toString()).arg(socket->peerPort())
               : QStringLiteral("%1:%2").arg(a.toString()).arg(socket->peerPort());
}

QString peerAddress(const QTcpSocket *socket)
{
    QHostAddress a = socket->peerAddress();
    bool v4 = false;
    const quint32 ip4 = a.toIPv4Address(&v4);
    return v4 ? QHostAddress(ip4).toString() : a.toString();
}

} // namespace

struct LineServer::Client {
    quint64 id = 0;
    QTcpSocket *socket = nullptr;
    QString name;          // in the log: "CN@ADDR:PORT" (TLS) or "ADDR:PORT"
    QString identity;      // what the writers name: the certificate's CN, or the address
    bool mayWrite = true;
    ClientState state = ClientState::Idle;
    std::deque<Request> queue;
    quint64 turn = 0;      // of the request at the head of the queue
    FrameSplitter splitter;
    QTimer *idle = nullptr;
    QTimer *grace = nullptr;
    qint64 requests = 0;
    qint64 junk = 0;       // bytes that made no command, in all
    qint64 junkRun = 0;    // of them since the last command
    bool junkLogged = false;
};

struct LineServer::Monitor {
    QTcpSocket *socket = nullptr;
    QString name;
};

LineServer::LineServer(const LineConfig &config, const ServerTls &tls, QObject *parent)
    : QObject(parent), m_config(config), m_tls(tls), m_lineSplitter(std::make_unique<FrameSplitter>())
{
    const ReadOptions defaults;
    m_wholeMs = defaults.timeoutMs;
    m_quietMs = defaults.quietMs;
    m_writePauseMs = CounterClient::kWritePauseMs;
    m_clock.start();

    m_reopen = new QTimer(this);
    m_reopen->setSingleShot(true);
    connect(m_reopen, &QTimer::timeout, this, &LineServer::openLine);
    m_whole = new QTimer(this);
    m_whole->setSingleShot(true);
    m_whole->setTimerType(Qt::PreciseTimer);
    connect(m_whole, &QTimer::timeout, this, [this] { endRead(false); });
    m_quiet = new QTimer(this);
    m_quiet->setSingleShot(true);
    m_quiet->setTimerType(Qt::PreciseTimer);
    connect(m_quiet, &QTimer::timeout, this, [this] { endRead(false); });
    m_pauseEnd = new QTimer(this);
    m_pauseEnd->setSingleShot(true);
    m_pauseEnd->setTimerType(Qt::PreciseTimer);
    connect(m_pauseEnd, &QTimer::timeout, this, &LineServer::pump);
}

LineServer::~LineServer()
{
    // The sockets go with their servers and clients; nothing may call back now.
    for (auto &[id, c] : m_clients)
        if (c->socket)
            c->socket->disconnect(this);
    for (auto &[id, m] : m_monitors)
        if (m->socket)
            m->socket->disconnect(this);
    if (m_line)
        m_line->disconnect(this);
}

void LineServer::setReplyTimeouts(int wholeMs, int quietMs)
{
    m_wholeMs = wholeMs;
    m_quietMs = quietMs;
}

void LineServer::log(const QString &text) const
{
    logLine(LogLevel::Info, QStringLiteral("%1: %2").arg(m_config.shownName(), text));
}

static QTcpServer *makeServer(const ListenAddress &where, const ServerTls &tls, QObject *parent, QString *error)
{
    QTcpServer *server = nullptr;
    if (where.scheme == ListenAddress::Tls) {
        TlsCredentials creds;
        QString problem;
        TlsSettings files;
        files.certFile = tls.certFile;
        files.keyFile = tls.keyFile;
        files.caFile = tls.caFile;
        if (!loadTlsCredentials(files, &creds, &problem)) {
            *error = QStringLiteral("%1: %2").arg(where.text, problem);
            return nullptr;
        }
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        conf.setLocalCertificate(creds.certificate);
        conf.setPrivateKey(creds.key);
        conf.setCaCertificates(creds.caCertificates);
        // Every client shows a certificate from the CA: its CN is its name.
        conf.setPeerVerifyMode(QSslSocket::VerifyPeer);
        conf.setProtocol(QSsl::TlsV1_2OrLater);
        auto *ssl = new QSslServer(parent);
        ssl->setSslConfiguration(conf);
        ssl->setHandshakeTimeout(tls.handshakeTimeoutMs);
        // The peer's address is gone once the connection is; keep it for the log.
        QObject::connect(ssl, &QSslServer::startedEncryptionHandshake, parent, [](QSslSocket *s) {
            s->setProperty("peer", peerText(s));
        });
        QObject::connect(ssl, &QSslServer::errorOccurred, parent, [where](QSslSocket *s, QAbstractSocket::SocketError) {
            logLine(LogLevel::Notice, QStringLiteral("%1: TLS client %2 failed: %3")
                                          .arg(where.text, s->property("peer").toString(), s->errorString()));
        });
        server = ssl;
    } else {
        server = new QTcpServer(parent);
    }
    if (!server->listen(where.address, where.port)) {
        *error = QStringLiteral("cannot listen on %1: %2").arg(where.text, server->errorString());
        delete server;
        return nullptr;
    }
    return server;
}

bool LineServer::start(QString *error)
{
    m_server = makeServer(m_config.listen, m_tls, this, error);
    if (!m_server)
        return false;
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this, &LineServer::onNewConnection);
    if (m_config.monitor.isSet()) {
        m_monitorServer = makeServer(m_config.monitor, m_tls, this, error);
        if (!m_monitorServer)
            return false;
        connect(m_monitorServer, &QTcpServer::pendingConnectionAvailable, this, &LineServer::onMonitorConnection);
    }
    auto shown = [](const ListenAddress &a, const QTcpServer *s) {
        return a.port ? a.text : QStringLiteral("%1 (port %2)").arg(a.text).arg(s->serverPort());
    };
    log(QStringLiteral("serving %1 on %2%3").arg(m_config.port, shown(m_config.listen, m_server),
                                                  m_config.monitor.isSet()
                                                      ? QStringLiteral(", a copy on %1").arg(shown(m_config.monitor, m_monitorServer))
                                                      : QString()));
    openLine();
    return true;
}

quint16 LineServer::listenPort() const { return m_server ? m_server->serverPort() : 0; }
quint16 LineServer::monitorPort() const { return m_monitorServer ? m_monitorServer->serverPort() : 0; }

// ---- the line -------------------------------------------------------------

void LineServer::setLineState(LineState s)
{
    if (m_state == s)
        return;
    m_state = s;
    emit lineStateChanged(s);
}

void LineServer::openLine()
{
    if (m_state != LineState::Down)
        return;
    setLineState(LineState::Opening);
    // A gateway's open waits inside the event loop: clients that come
    // meanwhile find the line Opening and are turned away.
    OpenedLine opened = kestran::openLine(m_config.port, nullptr, m_config.upstreamTls);
    if (!opened.control) {
        if (opened.problem != m_lastOpenProblem)
            logLine(LogLevel::Warning, QStringLiteral("%1: the line does not open: %2; trying again")
                                           .arg(m_config.shownName(), opened.problem));
        m_lastOpenProblem = opened.problem;
        setLineState(LineState::Down);
        m_reopen->start(m_reopenDelayMs);
        m_reopenDelayMs = std::min(m_reopenDelayMs * 2, kReopenMaxMs);
        return;
    }
    m_line = std::move(opened.control);
    connect(m_line.get(), &SerialControl::OnComm, this, &LineServer::onLineReceive);
    connect(m_line.get(), &SerialControl::connectionLost, this, &LineServer::onLineLost);
    m_lineSplitter = std::make_unique<FrameSplitter>();
    if (m_stats.losses > 0 || !m_lastOpenProblem.isEmpty()) {
        ++m_stats.reopened;
        log(QStringLiteral("the line is open again"));
    } else {
        log(QStringLiteral("the line is open"));
    }
    m_lastOpenProblem.clear();
    m_reopenDelayMs = kReopenFirstMs;
    setLineState(LineState::Idle);
    pump();
}

void LineServer::onLineLost(const QString &reason)
{
    if (!m_line)
        return;
    ++m_stats.losses;
    logLine(LogLevel::Warning, QStringLiteral("%1: the line is lost: %2").arg(m_config.shownName(), reason));
    if (m_state == LineState::Reading)
        m_stats.busyNs += m_read.since.nsecsElapsed();
    m_whole->stop();
    m_quiet->stop();
    m_pauseEnd->stop();
    m_read = Read();
    // The control is inside its own signal: let it go once that returns.
    m_line->disconnect(this);
    m_line.release()->deleteLater();
    setLineState(LineState::Down);
    // As a pulled cable: whoever had a transaction on the line loses its connection.
    std::vector<quint64> hit;
    for (auto &[id, c] : m_clients)
        if (c->state == ClientState::Queued || c->state == ClientState::Active)
            hit.push_back(id);
    for (quint64 id : hit)
        if (Client *c = client(id)) {
            c->queue.clear();
            closeClient(*c, QStringLiteral("the line was lost"));
        }
    m_reopenDelayMs = kReopenFirstMs;
    m_reopen->start(m_reopenDelayMs);
}

void LineServer::sendToLine(const QByteArray &frame)
{
    // Every frame is handed over whole: none is ever left half sent.
    m_line->setOutput(QString::fromLatin1(frame));
    copyToMonitors(frame);
}

void LineServer::onLineReceive()
{
    if (!m_line || m_line->CommEvent() != short(CommEventCode::Receive))
        return;
    const QByteArray bytes = m_line->Input().toLatin1();
    if (bytes.isEmpty())
        return;
    copyToMonitors(bytes);
    lineFrames(bytes);
}

void LineServer::lineFrames(const QByteArray &bytes)
{
    const QVector<LineFrame> frames = m_lineSplitter->feed(bytes);
    for (const LineFrame &f : frames) {
        const bool ours = m_state == LineState::Reading && f.kind == LineFrame::Reply && f.device == m_read.device;
        if (!ours) {
            m_stats.lineDropped += f.bytes.size();
            continue;
        }
        Client *c = m_read.client ? client(m_read.client) : nullptr;
        if (c && c->state == ClientState::Active)
            c->socket->write(f.bytes);
        else
            m_stats.discarded += f.bytes.size();
        m_read.got |= quint8(1u << (f.index - '0'));
        if (m_read.got == 0xFF) {
            endRead(true);
            continue;
        }
        m_quiet->start(m_quietMs);
    }
}

void LineServer::endRead(bool complete)
{
    if (m_state != LineState::Reading)
        return;
    m_whole->stop();
    m_quiet->stop();
    ++m_stats.reads;
    if (!complete)
        ++m_stats.incompleteReads;
    m_stats.busyNs += m_read.since.nsecsElapsed();
    if (Client *c = m_read.client ? client(m_read.client) : nullptr) {
        if (c->state == ClientState::Active)
            setClientState(*c, c->queue.empty() ? ClientState::Idle : ClientState::Queued);
        // What it queued meanwhile waits its turn behind those who waited already.
        c->turn = m_nextTurn++;
        // Its input may have waited for room in its queue.
        if (c->socket->bytesAvailable() > 0)
            QMetaObject::invokeMethod(this, [this, id = c->id] { onClientReadable(id); }, Qt::QueuedConnection);
    }
    m_read = Read();
    setLineState(LineState::Idle);
    pump();
}

void LineServer::pump()
{
    if (m_pumping)
        return;
    m_pumping = true;
    while (m_state == LineState::Idle && m_line) {
        const qint64 now = m_clock.nsecsElapsed();
        // The next request: writes before reads; among either, the head that
        // has waited its turn longest; a device in its pause after a write waits.
        Client *pick = nullptr;
        bool pickWrite = false;
        qint64 nextPauseEnd = -1;
        for (auto &[id, c] : m_clients) {
            if (c->state != ClientState::Queued || c->queue.empty())
                continue;
            const Request &r = c->queue.front();
            const qint64 until = m_pausedUntilNs[size_t(r.device)];
            if (until > now) {
                if (nextPauseEnd < 0 || until < nextPauseEnd)
                    nextPauseEnd = until;
                continue;
            }
            const bool w = r.kind == Request::Write;
            if (!pick || (w && !pickWrite) || (w == pickWrite && c->turn < pick->turn)) {
                pick = c.get();
                pickWrite = w;
            }
        }
        if (!pick) {
            if (nextPauseEnd >= 0)
                m_pauseEnd->start(int((nextPauseEnd - now) / 1000000) + 1);
            break;
        }
        Request r = std::move(pick->queue.front());
        pick->queue.pop_front();
        pick->turn = m_nextTurn++;
        ++pick->requests;
        sendToLine(r.frame);
        if (r.kind == Request::Write) {
            ++m_stats.writes;
            m_pausedUntilNs[size_t(r.device)] = now + kByteNs * r.frame.size() + qint64(m_writePauseMs) * 1000000;
            if (pick->queue.empty())
                setClientState(*pick, ClientState::Idle);
            if (pick->socket->bytesAvailable() > 0)
                QMetaObject::invokeMethod(this, [this, id = pick->id] { onClientReadable(id); }, Qt::QueuedConnection);
            continue;
        }
        // A read: what the line held before is nobody's answer.
        for (const LineFrame &f : m_lineSplitter->flushAll())
            m_stats.lineDropped += f.bytes.size();
        m_read = Read();
        m_read.client = pick->id;
        m_read.device = r.device;
        m_read.since.start();
        setClientState(*pick, ClientState::Active);
        setLineState(LineState::Reading);
        m_whole->start(m_wholeMs + int(kByteNs * r.frame.size() / 1000000) + 1);
    }
    m_pumping = false;
}

// ---- clients --------------------------------------------------------------

LineServer::Client *LineServer::client(quint64 id)
{
    const auto it = m_clients.find(id);
    return it == m_clients.end() ? nullptr : it->second.get();
}

QString LineServer::clientName(QTcpSocket *socket, QString *identity) const
{
    if (auto *ssl = qobject_cast<QSslSocket *>(socket)) {
        const QStringList cn = ssl->peerCertificate().subjectInfo(QSslCertificate::CommonName);
        const QString name = cn.isEmpty() ? QString() : cn.constFirst();
        *identity = name;
        return QStringLiteral("%1@%2").arg(name, peerText(socket));
    }
    *identity = peerAddress(socket);
    return peerText(socket);
}

bool LineServer::mayWrite(const QString &identity) const
{
    return !m_config.writers || m_config.writers->contains(identity);
}

void LineServer::turnAway(QTcpSocket *socket, const char *text)
{
    socket->setParent(this);
    socket->write(text);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(kCloseGraceMs, socket, [socket] { socket->abort(); socket->deleteLater(); });
    socket->disconnectFromHost();
}

void LineServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        if (m_state == LineState::Down || m_state == LineState::Opening) {
            ++m_stats.downRefusals;
            log(QStringLiteral("client %1 turned away: the line is down").arg(peerText(socket)));
            turnAway(socket, kLinedLineDown);
            continue;
        }
        if (int(m_clients.size()) >= m_config.maxClients) {
            ++m_stats.fullRefusals;
            log(QStringLiteral("client %1 turned away: %2 clients already").arg(peerText(socket)).arg(m_clients.size()));
            turnAway(socket, kLinedTooMany);
            continue;
        }
        addClient(socket);
    }
}

void LineServer::addClient(QTcpSocket *socket)
{
    auto c = std::make_unique<Client>();
    c->id = m_nextId++;
    c->socket = socket;
    socket->setParent(this);
    // Memory stays bounded whatever a client sends: what is not yet read
    // waits in the system's buffers, and the sender is held back.
    socket->setReadBufferSize(kReadChunk * 4);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    c->name = clientName(socket, &c->identity);
    c->mayWrite = mayWrite(c->identity);
    c->idle = new QTimer(socket);
    c->idle->setSingleShot(true);
    c->idle->setInterval(m_config.idleTimeoutMs);
    const quint64 id = c->id;
    connect(c->idle, &QTimer::timeout, this, [this, id] {
        Client *c = client(id);
        if (!c || c->state == ClientState::Closing)
            return;
        if (c->state != ClientState::Idle) {
            c->idle->start();   // waiting on the line is not idling
            return;
        }
        ++m_stats.idleClosed;
        closeClient(*c, QStringLiteral("silent for %1 s").arg(m_config.idleTimeoutMs / 1000.0));
    });
    connect(socket, &QTcpSocket::readyRead, this, [this, id] { onClientReadable(id); });
    connect(socket, &QTcpSocket::disconnected, this, [this, id] { dropClient(id); });
    c->idle->start();
    ++m_stats.accepted;
    log(QStringLiteral("client %1 connected%2").arg(c->name, c->mayWrite ? QString() : QStringLiteral(" (may not write)")));
    Client &ref = *c;
    m_clients.emplace(id, std::move(c));
    if (socket->bytesAvailable() > 0)
        onClientReadable(ref.id);
}

void LineServer::setClientState(Client &c, ClientState s)
{
    c.state = s;
}

void LineServer::onClientReadable(quint64 id)
{
    Client *c = client(id);
    while (c && c->state != ClientState::Closing && c->queue.size() < size_t(kQueueHold)
           && c->socket->bytesAvailable() > 0) {
        c->idle->start();
        onClientFrames(*c, c->socket->read(kReadChunk));
        c = client(id);
    }
    if (c && c->state == ClientState::Closing)
        c->socket->read(c->socket->bytesAvailable());   // nothing more from a client that is closing
}

void LineServer::onClientFrames(Client &c, const QByteArray &bytes)
{
    const quint64 id = c.id;
    const QVector<LineFrame> frames = c.splitter.feed(bytes);
    for (const LineFrame &f : frames) {
        Client *cp = client(id);
        if (!cp || cp->state == ClientState::Closing)
            return;
        if (f.kind != LineFrame::ReadAll && f.kind != LineFrame::Write) {
            cp->junk += f.bytes.size();
            cp->junkRun += f.bytes.size();
            m_stats.clientJunk += f.bytes.size();
            if (!cp->junkLogged) {
                cp->junkLogged = true;
                log(QStringLiteral("client %1 sent bytes that make no command; dropped").arg(cp->name));
            }
            if (cp->junkRun >= kJunkLimit) {
                ++m_stats.junkClosed;
                closeClient(*cp, QStringLiteral("%1 bytes in a row that make no command").arg(cp->junkRun));
                return;
            }
            continue;
        }
        cp->junkRun = 0;
        if (f.kind == LineFrame::Write && !cp->mayWrite) {
            ++m_stats.writeRefusals;
            // The write, and everything after it, stays off the line.
            cp->queue.clear();
            closeClient(*cp, QStringLiteral("a write to device %1 refused: %2 may not write")
                                 .arg(f.device).arg(cp->identity.isEmpty() ? cp->name : cp->identity),
                        kLinedWriteRefused);
            return;
        }
        if (m_state == LineState::Down || m_state == LineState::Opening) {
            cp->queue.clear();
            closeClient(*cp, QStringLiteral("a request while the line is down"));
            return;
        }
        Request r;
        r.kind = f.kind == LineFrame::Write ? Request::Write : Request::Read;
        r.device = f.device;
        r.frame = f.bytes;
        if (cp->queue.empty() && cp->state != ClientState::Active)
            cp->turn = m_nextTurn++;
        cp->queue.push_back(std::move(r));
        if (cp->state == ClientState::Idle)
            setClientState(*cp, ClientState::Queued);
    }
    pump();
}

void LineServer::closeClient(Client &c, const QString &why, const char *text)
{
    if (c.state == ClientState::Closing)
        return;
    log(QStringLiteral("client %1 closed: %2").arg(c.name, why));
    c.state = ClientState::Closing;
    c.queue.clear();
    c.idle->stop();
    if (text)
        c.socket->write(text);
    const quint64 id = c.id;
    c.grace = new QTimer(c.socket);
    c.grace->setSingleShot(true);
    connect(c.grace, &QTimer::timeout, this, [this, id] {
        if (Client *c = client(id))
            c->socket->abort();
        dropClient(id);
    });
    c.grace->start(kCloseGraceMs);
    c.socket->disconnectFromHost();
}

void LineServer::dropClient(quint64 id)
{
    const auto it = m_clients.find(id);
    if (it == m_clients.end())
        return;
    std::unique_ptr<Client> c = std::move(it->second);
    m_clients.erase(it);
    // A read of its own stays on the line to its end; its replies are discarded.
    if (m_read.client == id)
        m_read.client = 0;
    for (const LineFrame &f : c->splitter.flushAll()) {
        c->junk += f.bytes.size();
        m_stats.clientJunk += f.bytes.size();
    }
    if (c->state != ClientState::Closing)
        log(QStringLiteral("client %1 went away (%2 requests%3)")
                .arg(c->name).arg(c->requests)
                .arg(c->junk ? QStringLiteral(", %1 bytes dropped").arg(c->junk) : QString()));
    c->socket->disconnect(this);
    c->socket->deleteLater();
}

// ---- monitors -------------------------------------------------------------

void LineServer::onMonitorConnection()
{
    while (QTcpSocket *socket = m_monitorServer->nextPendingConnection()) {
        if (int(m_monitors.size()) >= m_config.maxClients) {
            ++m_stats.fullRefusals;
            turnAway(socket, kLinedTooMany);
            continue;
        }
        auto m = std::make_unique<Monitor>();
        m->socket = socket;
        socket->setParent(this);
        QString identity;
        m->name = clientName(socket, &identity);
        const quint64 id = m_nextId++;
        // A monitor only listens: what it sends goes nowhere.
        connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
        connect(socket, &QTcpSocket::disconnected, this, [this, id] {
            const auto it = m_monitors.find(id);
            if (it == m_monitors.end())
                return;
            log(QStringLiteral("monitor %1 went away").arg(it->second->name));
            it->second->socket->disconnect(this);
            it->second->socket->deleteLater();
            m_monitors.erase(it);
        });
        log(QStringLiteral("monitor %1 connected").arg(m->name));
        m_monitors.emplace(id, std::move(m));
    }
}

void LineServer::copyToMonitors(const QByteArray &bytes)
{
    for (auto &[id, m] : m_monitors) {
        if (m->socket->state() != QAbstractSocket::ConnectedState)
            continue;
        if (m->socket->bytesToWrite() > kMonitorBacklog) {
            log(QStringLiteral("monitor %1 cut off: it does not keep up").arg(m->name));
            m->socket->abort();
            continue;
        }
        m->socket->write(bytes);
    }
}

// ---- status ---------------------------------------------------------------

LineStats LineServer::stats() const
{
    LineStats s = m_stats;
    s.clients = int(m_clients.size());
    s.monitors = int(m_monitors.size());
    s.queued = 0;
    for (const auto &[id, c] : m_clients)
        s.queued += int(c->queue.size());
    if (m_state == LineState::Reading)
        s.busyNs += m_read.since.nsecsElapsed();
    return s;
}

QString LineServer::statusText() const
{
    const LineStats s = stats();
    QString out = QStringLiteral("line %1 (%2): %3\n").arg(m_config.shownName(), m_config.port,
                                                        QLatin1String(lineStateName(m_state)));
    out += QStringLiteral("  listen %1; %2 clients, %3 monitors; queue %4\n")
               .arg(m_config.listen.text).arg(s.clients).arg(s.monitors).arg(s.queued);
    out += QStringLiteral("  transactions: %1 reads (%2 incomplete), %3 writes; busy %4 s\n")
               .arg(s.reads).arg(s.incompleteReads).arg(s.writes).arg(double(s.busyNs) / 1e9, 0, 'f', 1);
    out += QStringLiteral("  dropped: %1 line bytes, %2 client bytes, %3 reply bytes of gone clients\n")
               .arg(s.lineDropped).arg(s.clientJunk).arg(s.discarded);
    out += QStringLiteral("  refusals: %1 writes, %2 while down, %3 too many; closed: %4 idle, %5 junk; "
                          "lost %6 times, reopened %7\n")
               .arg(s.writeRefusals).arg(s.downRefusals).arg(s.fullRefusals).arg(s.idleClosed)
               .arg(s.junkClosed).arg(s.losses).arg(s.reopened);
    for (const auto &[id, c] : m_clients)
        out += QStringLiteral("  client %1: %2, %3 requests, %4 queued%5\n")
                   .arg(c->name, QLatin1String(stateName(c->state))).arg(c->requests).arg(c->queue.size())
                   .arg(c->mayWrite ? QString() : QStringLiteral(", may not write"));
    return out;
}

} // namespace kestran::lined
