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
