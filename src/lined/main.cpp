// kestran-lined: one KESTRAN line, many clients, every transaction whole.
#include "linedconfig.h"
#include "linedlog.h"
#include "lineserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include "daemon_linux.h"

#include <cstdio>
#include <memory>

using namespace kestran::lined;

namespace {

constexpr char kDefaultConfig[] = "/etc/kestran/lined.toml";

int usageError(const QString &message)
{
    std::fprintf(stderr, "kestran-lined: %s\n", qPrintable(message));
    return 2;
}

// The status page: the same text for a browser (HTTP) and for nc.
void serveStatus(QTcpServer *server, const std::vector<std::unique_ptr<LineServer>> *lines)
{
    QObject::connect(server, &QTcpServer::pendingConnectionAvailable, server, [server, lines] {
        while (QTcpSocket *s = server->nextPendingConnection()) {
            QPointer<QTcpSocket> socket(s);
            auto answer = [socket, lines] {
                if (!socket || socket->property("answered").toBool())
                    return;
                socket->setProperty("answered", true);
                QString text;
                for (const auto &l : *lines)
                    text += l->statusText();
                const QByteArray body = text.toUtf8();
                const QByteArray request = socket->readAll();
                if (request.startsWith("GET ") || request.startsWith("HEAD "))
                    socket->write("HTTP/1.0 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: "
                                  + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n");
                if (!request.startsWith("HEAD "))
                    socket->write(body);
                socket->disconnectFromHost();
            };
            QObject::connect(s, &QTcpSocket::readyRead, s, answer);
            QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            // A client that says nothing (nc) gets the text all the same.
            QTimer::singleShot(300, s, answer);
            QTimer::singleShot(5000, s, [s] { s->abort(); s->deleteLater(); });
        }
    });
}

} // namespace

int main(int argc, char **argv)
{
    // The stop signals come through a descriptor the event loop watches.
    daemon::takeSignals();

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestran-lined"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTRAN_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Shares KESTRAN counter lines among many clients, every transaction whole.\n\n"
        "Clients open the listen address as a gateway (tcp:// or tls://) and speak the\n"
        "line's own bytes. Read-all commands are answered with the device's replies to\n"
        "that client alone; a write is followed by the pause the counters need; writes\n"
        "go before reads. Without --line the lines come from the configuration file\n"
        "(default /etc/kestran/lined.toml)."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption configOpt({QStringLiteral("c"), QStringLiteral("config")},
        QStringLiteral("The configuration file (default /etc/kestran/lined.toml)."), QStringLiteral("file"));
    const QCommandLineOption lineOpt(QStringLiteral("line"),
        QStringLiteral("Serve this one line: a device path, COMn, or a gateway's tcp://, rfc2217://, tls:// text."),
        QStringLiteral("port"));
    const QCommandLineOption listenOpt(QStringLiteral("listen"),
        QStringLiteral("Where clients connect: tcp://127.0.0.1:PORT, or tls://ADDRESS:PORT with --cert, --key, --ca."),
        QStringLiteral("url"));
    const QCommandLineOption writersOpt(QStringLiteral("writers"),
        QStringLiteral("The clients that may write, comma-separated: certificate CNs over TLS, addresses over TCP\n"
                       "(default: every client). Others are refused at their first write."), QStringLiteral("names"));
    const QCommandLineOption certOpt(QStringLiteral("cert"), QStringLiteral("The server's certificate (PEM), for tls://."),
                                     QStringLiteral("file"));
    const QCommandLineOption keyOpt(QStringLiteral("key"), QStringLiteral("Its private key (PEM)."), QStringLiteral("file"));
    const QCommandLineOption caOpt(QStringLiteral("ca"), QStringLiteral("The CA of the client certificates (PEM)."),
                                   QStringLiteral("file"));
    const QCommandLineOption handshakeOpt(QStringLiteral("handshake-timeout"),
        QStringLiteral("Seconds a TLS client has for its handshake (default 5)."), QStringLiteral("seconds"));
    const QCommandLineOption monitorOpt(QStringLiteral("monitor"),
        QStringLiteral("Also serve a read-only copy of every frame on the line here."), QStringLiteral("url"));
    const QCommandLineOption idleOpt(QStringLiteral("idle-timeout"),
        QStringLiteral("Seconds after which a silent client is closed (default 600)."), QStringLiteral("seconds"));
    const QCommandLineOption maxOpt(QStringLiteral("max-clients"),
        QStringLiteral("Clients the line serves at once (default 1024)."), QStringLiteral("n"));
    const QCommandLineOption anywhereOpt(QStringLiteral("plain-anywhere"),
        QStringLiteral("Allow plain TCP on an address other than 127.0.0.1 (anyone who reaches it may write)."));
    const QCommandLineOption statusOpt(QStringLiteral("status"),
        QStringLiteral("Serve a plain-text status page here (tcp://127.0.0.1:PORT)."), QStringLiteral("url"));
    const QCommandLineOption checkOpt(QStringLiteral("check"),
        QStringLiteral("Check the configuration and exit: 0 when it is sound."));
    parser.addOptions({configOpt, lineOpt, listenOpt, writersOpt, certOpt, keyOpt, caOpt, handshakeOpt, monitorOpt,
                       idleOpt, maxOpt, anywhereOpt, statusOpt, checkOpt});
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText() + QStringLiteral(" (try --help)"));
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument %1 (try --help)").arg(parser.positionalArguments().constFirst()));
    parser.process(app);

    auto seconds = [&](const QCommandLineOption &o, int *ms) {
        bool ok = false;
        const double s = parser.value(o).toDouble(&ok);
        if (!ok || !(s > 0) || s > 86400 * 7)
            return false;
        *ms = std::max(1, int(s * 1000 + 0.5));
        return true;
    };

    LinedConfig config;
    if (parser.isSet(lineOpt)) {
        if (parser.isSet(configOpt))
            return usageError(QStringLiteral("give either --line or -c FILE, not both"));
        LineConfig line;
        line.port = parser.value(lineOpt).trimmed();
        if (!parser.isSet(listenOpt))
            return usageError(QStringLiteral("--line needs --listen (tcp://127.0.0.1:PORT or tls://ADDRESS:PORT)"));
        QString why;
        if (!parseListenAddress(parser.value(listenOpt), &line.listen, &why))
            return usageError(QStringLiteral("--listen: %1").arg(why));
        if (parser.isSet(monitorOpt) && !parseListenAddress(parser.value(monitorOpt), &line.monitor, &why))
            return usageError(QStringLiteral("--monitor: %1").arg(why));
        if (parser.isSet(writersOpt)) {
            QStringList names;
            for (const QString &n : parser.value(writersOpt).split(QLatin1Char(','), Qt::SkipEmptyParts))
                if (!n.trimmed().isEmpty())
                    names << n.trimmed();
            line.writers = names;
        }
        if (parser.isSet(idleOpt) && !seconds(idleOpt, &line.idleTimeoutMs))
            return usageError(QStringLiteral("--idle-timeout wants a number of seconds above 0"));
        if (parser.isSet(maxOpt)) {
            bool ok = false;
            line.maxClients = parser.value(maxOpt).toInt(&ok);
            if (!ok || line.maxClients < 1 || line.maxClients > 100000)
                return usageError(QStringLiteral("--max-clients wants a whole number from 1 to 100000"));
        }
        line.plainAnywhere = parser.isSet(anywhereOpt);
        config.tls.certFile = parser.value(certOpt);
        config.tls.keyFile = parser.value(keyOpt);
        config.tls.caFile = parser.value(caOpt);
        if (parser.isSet(handshakeOpt) && !seconds(handshakeOpt, &config.tls.handshakeTimeoutMs))
            return usageError(QStringLiteral("--handshake-timeout wants a number of seconds above 0"));
        config.lines.append(line);
        if (parser.isSet(statusOpt) && !parseListenAddress(parser.value(statusOpt), &config.status, &why))
            return usageError(QStringLiteral("--status: %1").arg(why));
    } else {
        for (const QCommandLineOption *o : {&listenOpt, &writersOpt, &certOpt, &keyOpt, &caOpt, &handshakeOpt,
                                            &monitorOpt, &idleOpt, &maxOpt, &anywhereOpt, &statusOpt})
            if (parser.isSet(*o))
                return usageError(QStringLiteral("--%1 goes with --line; in a configuration file it is a key of the line")
                                      .arg(o->names().constLast()));
        const QString path = parser.isSet(configOpt) ? parser.value(configOpt) : QString::fromLatin1(kDefaultConfig);
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return usageError(QStringLiteral("cannot read %1: %2").arg(path, f.errorString()));
        QString error;
        if (!parseLinedConfig(f.readAll(), path, &config, &error))
            return usageError(error);
    }
    if (const QString problem = checkLinedConfig(config); !problem.isEmpty())
        return usageError(problem);
    if (config.status.isSet() && config.status.scheme != ListenAddress::Tcp)
        return usageError(QStringLiteral("the status page is served on tcp:// only"));
    if (config.status.isSet() && !config.status.isLoopback())
        return usageError(QStringLiteral("the status page is served on 127.0.0.1 only"));
    if (parser.isSet(checkOpt)) {
        std::printf("configuration sound: %d line%s\n", int(config.lines.size()), config.lines.size() == 1 ? "" : "s");
        return 0;
    }

    daemon::allowManyFiles();
    std::vector<std::unique_ptr<LineServer>> servers;
    for (const LineConfig &line : config.lines) {
        auto server = std::make_unique<LineServer>(line, config.tls);
        QString error;
        if (!server->start(&error)) {
            logLine(LogLevel::Error, QStringLiteral("%1: %2").arg(line.shownName(), error));
            return 1;
        }
        servers.push_back(std::move(server));
    }
    QTcpServer status;
    if (config.status.isSet()) {
        if (!status.listen(config.status.address, config.status.port)) {
            logLine(LogLevel::Error, QStringLiteral("cannot serve the status page on %1: %2")
                                         .arg(config.status.text, status.errorString()));
            return 1;
        }
        serveStatus(&status, &servers);
    }

    const int sigfd = daemon::signalDescriptor();
    QSocketNotifier signalNotifier(sigfd, QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
        while (const int signal = daemon::nextSignal(sigfd)) {
            if (daemon::isStatusSignal(signal)) {
                for (const auto &s : servers)
                    for (const QString &row : s->statusText().split(QLatin1Char('\n'), Qt::SkipEmptyParts))
                        logLine(LogLevel::Info, row.trimmed());
                continue;
            }
            logLine(LogLevel::Notice, QStringLiteral("stopping (signal %1)").arg(signal));
            daemon::notifyStopping();
            app.quit();
        }
    });

    daemon::notifyReady(QStringLiteral("serving %1 line%2").arg(servers.size()).arg(servers.size() == 1 ? "" : "s"));
    const int rc = app.exec();
    servers.clear();
    return rc;
}
