#include "lineserver.h"
#include "linehistory.h"
#include "lineserver_p.h"

#include "frames.h"
#include "counterclient.h"
#include "replygather.h"
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
#include <bitset>

namespace kestran::lined {

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

LineServer::LineServer(const LineConfig &config, const ServerTls &tls, QObject *parent)
    : QObject(parent), m_config(config), m_tls(tls), m_lineSplitter(std::make_unique<FrameSplitter>())
{
    const ReadOptions defaults;
    m_wholeMs = defaults.timeoutMs;
    m_quietMs = defaults.quietMs;
    m_writePauseMs = kSetupPauseMs;
    m_clock.start();
    history::Target target;
    target.require = config.historyRequire;
    QString why;
    history::parseTarget(config.history, &target, &why);   // checked with the configuration
    m_history = std::make_unique<LineHistory>(target, config.name, config.port);

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
    m_wantDue = new QTimer(this);
    m_wantDue->setSingleShot(true);
    m_wantDue->setTimerType(Qt::PreciseTimer);
    connect(m_wantDue, &QTimer::timeout, this, [this] { holdBack(1, 0); });
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
    m_history->lineLost();
    logLine(LogLevel::Warning, QStringLiteral("%1: the line is lost: %2").arg(m_config.shownName(), reason));
    if (m_state == LineState::Reading)
        m_stats.busyNs += m_read.since.nsecsElapsed();
    m_whole->stop();
    m_quiet->stop();
    m_wantDue->stop();
    m_want = 1;
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

void LineServer::holdBack(int bytes, qint64 fromNs)
{
    // A read-all's answer is held back by the line until it is all there, so
    // that it wakes the server once and not once a byte. Should it not come
    // by its time at wire speed (cut short, a slow device), every arrival is
    // taken again, and the quiet after the last reply ends the read.
    const int want = bytes > 1 ? bytes : 1;
    m_wantDue->stop();
    if (!m_line)
        return;
    if (want != m_want)
        m_want = m_line->setReceiveWant(want) ? want : 1;
    if (m_want > 1) {
        const qint64 dueNs = fromNs + qint64(m_want) * kByteNs + ReplyGather::kWantSlackNs - m_clock.nsecsElapsed();
        m_wantDue->start(int(std::max<qint64>(0, (dueNs + 999999) / 1000000)));
    }
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
    const auto readsBefore = m_stats.reads;
    for (const LineFrame &f : frames) {
        const bool ours = m_state == LineState::Reading && f.kind == LineFrame::Reply && f.device == m_read.device;
        if (!ours) {
            m_stats.lineDropped += f.bytes.size();
            continue;
        }
        m_history->replied(f.device, f.index, f.value);
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
    // The rest of this read's answer (a read begun meanwhile has asked for its own).
    if (m_state == LineState::Reading && m_stats.reads == readsBefore)
        holdBack(ReplyGather::bytesToCome(std::bitset<8>(m_read.got).count(), m_lineSplitter->frameChars()),
                 m_clock.nsecsElapsed());
}

void LineServer::endRead(bool complete)
{
    if (m_state != LineState::Reading)
        return;
    m_whole->stop();
    m_quiet->stop();
    holdBack(1, 0);
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
            m_history->sent(r.device, r.frame.at(4), QString::fromLatin1(r.frame.mid(6, 8)));
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
        holdBack(ReplyGather::bytesToCome(0, 0), now + kByteNs * r.frame.size());
    }
    m_pumping = false;
}

} // namespace kestran::lined
