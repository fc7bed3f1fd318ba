#include "lineserver.h"
#include "lineserver_p.h"

#include "frames.h"
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

} // namespace kestran::lined
