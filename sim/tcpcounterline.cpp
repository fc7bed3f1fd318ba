#include "tcpcounterline.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace kestran::sim {

namespace {
constexpr qint64 kByteNs = 520833;   // 10 bits at 19200 baud
}

TcpCounterLine::TcpCounterLine(QObject *parent)
    : QObject(parent), m_server(new QTcpServer(this))
{
    m_pump.setTimerType(Qt::PreciseTimer);
    m_pump.setInterval(1);
    connect(&m_pump, &QTimer::timeout, this, &TcpCounterLine::pump);
    connect(m_server, &QTcpServer::newConnection, this, &TcpCounterLine::onConnection);
}

TcpCounterLine::~TcpCounterLine() = default;

bool TcpCounterLine::start(QString *error)
{
    if (m_server->listen(QHostAddress::LocalHost, 0))
        return true;
    if (error)
        *error = m_server->errorString();
    return false;
}

QString TcpCounterLine::url() const
{
    return QStringLiteral("tcp://127.0.0.1:%1").arg(m_server->serverPort());
}

void TcpCounterLine::onConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        if (m_client) {
            // The line is taken: like a gateway, say so and hang up.
            socket->write("Port already in use\r\n");
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        m_client = socket;
        m_line.resetInput();
        m_pending.clear();
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QTcpSocket::readyRead, this, &TcpCounterLine::onReadyRead);
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (m_client == socket) {
                m_client = nullptr;
                m_pending.clear();
                m_pump.stop();
            }
            socket->deleteLater();
        });
    }
}

void TcpCounterLine::onReadyRead()
{
    if (!m_client)
        return;
    const QList<QByteArray> replies = m_line.feed(m_client->readAll());
    if (replies.isEmpty())
        return;
    if (m_pending.isEmpty()) {
        m_clock.start();
        m_sentNs = 0;
    }
    for (const QByteArray &r : replies)
        m_pending += r;
    if (!m_pump.isActive())
        m_pump.start();
}

// Sends every byte whose wire time has come.
void TcpCounterLine::pump()
{
    if (!m_client || m_pending.isEmpty()) {
        m_pump.stop();
        return;
    }
    const qint64 due = (m_clock.nsecsElapsed() - m_sentNs) / kByteNs;
    if (due <= 0)
        return;
    const qsizetype n = qMin<qsizetype>(qsizetype(due), m_pending.size());
    m_client->write(m_pending.constData(), n);
    m_pending.remove(0, n);
    m_sentNs += qint64(n) * kByteNs;
}

} // namespace kestran::sim
