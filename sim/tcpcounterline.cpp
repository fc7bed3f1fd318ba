#include "tcpcounterline.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace kestran::sim {

TcpCounterLine::TcpCounterLine(QObject *parent, const LineOptions &options)
    : QObject(parent), m_server(new QTcpServer(this)), m_line(options.devices), m_out(options)
{
    m_clock.start();
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
        m_out.clear();
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QTcpSocket::readyRead, this, &TcpCounterLine::onReadyRead);
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (m_client == socket) {
                m_client = nullptr;
                m_out.clear();
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
    const QByteArray bytes = m_client->readAll();
    const QList<QByteArray> replies = m_line.feed(bytes);
    if (replies.isEmpty())
        return;
    const qint64 now = m_clock.nsecsElapsed();
    m_out.enqueue(m_out.shape(replies, m_stats), m_out.heard(now, int(bytes.size())));
    if (!m_pump.isActive())
        m_pump.start();
}

// Sends every byte whose wire time has come.
void TcpCounterLine::pump()
{
    if (!m_client || m_out.isEmpty()) {
        m_pump.stop();
        return;
    }
    const qint64 now = m_clock.nsecsElapsed();
    while (!m_out.isEmpty() && m_out.nextDue() <= now)
        m_client->write(m_out.takeDue(now));
}

} // namespace kestran::sim
