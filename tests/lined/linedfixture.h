#pragma once
// What the line server's tests share: a simulator on a real pseudo-terminal,
// the server in process in front of it, and clients that play a client byte
// by byte.
#include "linedlog.h"
#include "lineserver.h"
#include "ptycounterline.h"
#include "waituntil.h"

#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>

namespace kestran::test {

using namespace kestran::lined;
using kestran::sim::LineOptions;
using kestran::sim::PtyCounterLine;

inline QString program(const char *relative)
{
    return qEnvironmentVariable("KESTRAN_BUILD_DIR") + QLatin1Char('/') + QLatin1String(relative);
}

inline QByteArray readAll(int device) { return "*" + QByteArray::number(device) + "R:?=?\r"; }
inline QByteArray write(int device, char index, const QByteArray &value)
{
    return "*" + QByteArray::number(device) + "W:" + index + "=" + value + "\r";
}

// Splits what a client received into frames ending in CR.
inline QList<QByteArray> framesOf(const QByteArray &bytes)
{
    QList<QByteArray> out;
    for (const QByteArray &piece : bytes.split('\r'))
        if (!piece.isEmpty())
            out << piece + '\r';
    return out;
}

// A client that talks to the server byte for byte.
class RawClient {
public:
    bool connectTo(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { got += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(3000);
    }
    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    bool waitFor(int bytes, int ms = 3000)
    {
        return waitUntil([&] { return got.size() >= bytes; }, ms);
    }
    bool waitClosed(int ms = 3000)
    {
        return waitUntil([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, ms);
    }
    QTcpSocket socket;
    QByteArray got;
};

// A simulator and a server on it, made afresh by serve().
class LinedFixture {
protected:
    std::unique_ptr<PtyCounterLine> m_sim;
    std::unique_ptr<LineServer> m_server;
    QTemporaryDir m_dir;

    // A simulator and a server on it; `port` is the server's listen port.
    bool serve(const LineOptions &simOptions = {}, LineConfig config = {}, bool viaLink = false)
    {
        m_server.reset();
        m_sim = std::make_unique<PtyCounterLine>(simOptions);
        QString error;
        if (!m_sim->start(&error)) {
            qWarning() << error;
            return false;
        }
        config.port = m_sim->slavePath();
        if (viaLink) {
            const QString link = m_dir.filePath(QStringLiteral("line%1").arg(++m_links));
            if (!m_sim->setLink(link, &error)) {
                qWarning() << error;
                return false;
            }
            config.port = link;
        }
        QString why;
        if (!parseListenAddress(QStringLiteral("tcp://127.0.0.1:0"), &config.listen, &why))
            return false;
        m_server = std::make_unique<LineServer>(config, ServerTls());
        if (!m_server->start(&error)) {
            qWarning() << error;
            return false;
        }
        return waitUntil([&] { return m_server->lineState() == LineServer::LineState::Idle; }, 3000);
    }
    quint16 port() const { return m_server->listenPort(); }
    int m_links = 0;
};

} // namespace kestran::test
