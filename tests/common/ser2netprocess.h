#pragma once
// ser2net in the foreground with a configuration of its own, for tests and
// benchmarks: one connection on 127.0.0.1 (a free port) to one device, raw
// (tcp://) or Telnet with the COM-PORT-OPTION (rfc2217://); or our own line
// server in front of the device.
#include "waituntil.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>

namespace kestran::test {

inline quint16 freeLoopbackPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

// Whether something listens on 127.0.0.1:port (or on every address), read
// from the kernel's table so that looking does not make a gateway open the
// line or take up its one connection.
inline bool listeningOnLoopback(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray hex = QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray &row : table.readAll().split('\n')) {
        const QList<QByteArray> f = row.simplified().split(' ');
        if (f.size() > 3 && (f.at(1) == "0100007F:" + hex || f.at(1) == "00000000:" + hex) && f.at(3) == "0A")
            return true;
    }
    return false;
}

class Ser2netProcess {
public:
    static QString program()
    {
        const QString found = QStandardPaths::findExecutable(QStringLiteral("ser2net"));
        return found.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("ser2net"), {QStringLiteral("/usr/sbin")})
                               : found;
    }

    // `lineSettings` as ser2net writes them ("19200n81"); `options` are lines
    // of the connection's options ("chardelay: false").
    bool start(const QString &device, bool rfc2217, const QString &lineSettings = QStringLiteral("19200n81"),
               const QStringList &options = {})
    {
        return startAccepter(rfc2217 ? QStringLiteral("telnet(rfc2217),") : QString(),
                             rfc2217 ? QStringLiteral("rfc2217") : QStringLiteral("tcp"), device, lineSettings, options);
    }
    // Any accepter in front of "tcp,127.0.0.1,PORT" ("ssl(key=...,cert=...),"),
    // opened by port texts with `scheme`.
    bool startAccepter(const QString &prefix, const QString &scheme, const QString &device,
                       const QString &lineSettings = QStringLiteral("19200n81"), const QStringList &options = {})
    {
        m_port = freeLoopbackPort();
        m_scheme = scheme;
        const QString config = m_dir.filePath(QStringLiteral("ser2net.yaml"));
        QFile f(config);
        if (program().isEmpty() || !f.open(QIODevice::WriteOnly))
            return false;
        f.write(QStringLiteral("connection: &line\n  accepter: %1tcp,127.0.0.1,%2\n  connector: serialdev,%3,%4,local\n%5")
                    .arg(prefix).arg(m_port).arg(device, lineSettings,
                         options.isEmpty() ? QString() : QStringLiteral("  options:\n    ") + options.join(QStringLiteral("\n    ")) + QLatin1Char('\n'))
                    .toUtf8());
        f.close();
        // It says "Unable to start mdns" on stderr and works all the same.
        m_process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(program(), {QStringLiteral("-n"), QStringLiteral("-d"), QStringLiteral("-c"), config,
                                    QStringLiteral("-P"), m_dir.filePath(QStringLiteral("ser2net.pid"))});
        return m_process.waitForStarted(5000) && waitUntil([this] { return listeningOnLoopback(m_port); }, 5000);
    }
    // Our line server in front of `device` instead, serving tcp:// on a free
    // loopback port (the built program, from KESTRAN_BUILD_DIR).
    bool startLineServer(const QString &device)
    {
        m_port = freeLoopbackPort();
        m_scheme = QStringLiteral("tcp");
        m_process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(qEnvironmentVariable("KESTRAN_BUILD_DIR") + QStringLiteral("/src/lined/kestran-lined"),
                        {QStringLiteral("--line"), device, QStringLiteral("--listen"), url()});
        return m_process.waitForStarted(5000) && waitUntil([this] { return listeningOnLoopback(m_port); }, 5000);
    }
    quint16 port() const { return m_port; }
    qint64 processId() const { return m_process.processId(); }
    QString url() const
    {
        return QStringLiteral("%1://127.0.0.1:%2").arg(m_scheme).arg(m_port);
    }
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    ~Ser2netProcess() { kill(); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_scheme;
};

} // namespace kestran::test
