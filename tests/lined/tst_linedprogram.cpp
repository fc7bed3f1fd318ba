// kestran-lined as the built program: its command line, its configuration
// file's errors, the systemd readiness message, the status page and a clean stop.
#include "ptycounterline.h"
#include "ser2netprocess.h"
#include "waituntil.h"

#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using kestran::sim::PtyCounterLine;
using kestran::test::freeLoopbackPort;
using kestran::test::listeningOnLoopback;

namespace {

QString lined() { return qEnvironmentVariable("KESTRAN_BUILD_DIR") + QStringLiteral("/src/lined/kestran-lined"); }
QString ctl() { return qEnvironmentVariable("KESTRAN_BUILD_DIR") + QStringLiteral("/src/kestran-ctl"); }

struct Run {
    int code = -1;
    QByteArray out, err;
};

Run run(const QStringList &args)
{
    QProcess p;
    p.start(lined(), args);
    Run r;
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.code = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// The datagram socket systemd gives a Type=notify service as NOTIFY_SOCKET.
class NotifySocket {
public:
    explicit NotifySocket(const QString &path) : m_path(path.toLocal8Bit())
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        qstrncpy(a.sun_path, m_path.constData(), sizeof a.sun_path);
        m_ok = m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~NotifySocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool ok() const { return m_ok; }
    // One message, or "" after `ms` (the event loop runs meanwhile).
    QByteArray next(int ms)
    {
        QByteArray got;
        waitUntil([&] {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 0) != 1)
                return false;
            char buf[512];
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            got = QByteArray(buf, int(std::max<ssize_t>(n, 0)));
            return true;
        }, ms);
        return got;
    }

private:
    QByteArray m_path;
    int m_fd = -1;
    bool m_ok = false;
};

} // namespace

class TestLinedProgram : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

    QString file(const QString &name, const QByteArray &text)
    {
        const QString path = m_dir.filePath(name);
        QFile f(path);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(text);
        return path;
    }

private slots:
    void helpListsTheOptions()
    {
        const Run r = run({QStringLiteral("--help")});
        QCOMPARE(r.code, 0);
        for (const char *option : {"--line", "--listen", "--writers", "--cert", "--key", "--ca", "--idle-timeout",
                                   "--handshake-timeout", "--monitor", "--status", "--plain-anywhere", "-c"})
            QVERIFY2(r.out.contains(option), option);
    }

    // A bad configuration: the file and line named, and no start.
    void badConfiguration_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("where");
        QTest::addColumn<QString>("what");
        const QByteArray head = "[[line]]\nname = \"a\"\nport = \"/dev/kestran-test-a\"\n";
        QTest::newRow("syntax") << QByteArray("[[line]\n") << QStringLiteral(":1:") << QString();
        QTest::newRow("unknown key") << head + "listen = \"tcp://127.0.0.1:4100\"\nspeed = 9600\n"
                                     << QStringLiteral(":5:") << QStringLiteral("unknown key");
        QTest::newRow("no listen") << head << QStringLiteral(":1:") << QStringLiteral("no listen address");
        QTest::newRow("bad listen") << head + "listen = \"udp://127.0.0.1:4100\"\n" << QStringLiteral(":4:")
                                    << QStringLiteral("tcp://");
        QTest::newRow("bad port text") << QByteArray("[[line]]\nname = \"a\"\nport = \"COMX\"\n")
                                       << QStringLiteral(":3:") << QStringLiteral("port");
        QTest::newRow("plain TCP beyond loopback")
            << head + "listen = \"tcp://0.0.0.0:4100\"\n" << QStringLiteral(":1:") << QStringLiteral("plain-anywhere");
        QTest::newRow("TLS without files") << head + "listen = \"tls://0.0.0.0:4100\"\n" << QStringLiteral(":1:")
                                           << QStringLiteral("certificate");
        QTest::newRow("writers not a list") << head + "listen = \"tcp://127.0.0.1:4100\"\nwriters = \"x\"\n"
                                            << QStringLiteral(":5:") << QStringLiteral("list of names");
        QTest::newRow("idle time") << head + "listen = \"tcp://127.0.0.1:4100\"\nidle-timeout = -1\n"
                                   << QStringLiteral(":5:") << QStringLiteral("seconds");
        QTest::newRow("two lines, one address")
            << head + "listen = \"tcp://127.0.0.1:4100\"\n[[line]]\nname = \"b\"\nport = \"/dev/kestran-test-b\"\n"
                      "listen = \"tcp://127.0.0.1:4100\"\n"
            << QStringLiteral(":5:") << QStringLiteral("also served");
        QTest::newRow("name twice")
            << head + "listen = \"tcp://127.0.0.1:4100\"\n[[line]]\nname = \"a\"\n"
            << QStringLiteral(":6:") << QStringLiteral("already used");
    }
    void badConfiguration()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, where);
        QFETCH(QString, what);
        const QString path = file(QStringLiteral("bad.toml"), text);
        const Run r = run({QStringLiteral("-c"), path});
        QCOMPARE(r.code, 2);
        const QString err = QString::fromUtf8(r.err);
        QVERIFY2(err.contains(path + where), qPrintable(err));
        QVERIFY2(err.contains(what), qPrintable(err));
    }

    void badCommandLine_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("what");
        const QString line = QStringLiteral("--line=/dev/kestran-test-a");
        QTest::newRow("no listen") << QStringList{line} << QStringLiteral("--listen");
        QTest::newRow("plain TCP beyond loopback")
            << QStringList{line, QStringLiteral("--listen=tcp://0.0.0.0:4100")} << QStringLiteral("plain-anywhere");
        QTest::newRow("TLS without files")
            << QStringList{line, QStringLiteral("--listen=tls://127.0.0.1:4100")} << QStringLiteral("certificate");
        QTest::newRow("idle time") << QStringList{line, QStringLiteral("--listen=tcp://127.0.0.1:4100"),
                                                  QStringLiteral("--idle-timeout=soon")}
                                   << QStringLiteral("--idle-timeout");
        QTest::newRow("line and file") << QStringList{line, QStringLiteral("-c"), QStringLiteral("x.toml")}
                                       << QStringLiteral("not both");
    }
    void badCommandLine()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, what);
        const Run r = run(args);
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains(what.toUtf8()), r.err.constData());
    }

    // From a configuration file: ready for systemd once it listens, serves
    // kestran-ctl, shows its status page and stops on SIGTERM.
    void servesFromAFile()
    {
        PtyCounterLine sim;
        QVERIFY(sim.start());
        const quint16 port = freeLoopbackPort();
        const quint16 status = freeLoopbackPort();
        const QString path = file(QStringLiteral("lined.toml"),
                                  QStringLiteral("status = \"tcp://127.0.0.1:%1\"\n\n[[line]]\nname = \"press-3\"\n"
                                                 "port = \"%2\"\nlisten = \"tcp://127.0.0.1:%3\"\n")
                                      .arg(status).arg(sim.slavePath()).arg(port).toUtf8());
        QCOMPARE(run({QStringLiteral("-c"), path, QStringLiteral("--check")}).code, 0);

        NotifySocket notify(m_dir.filePath(QStringLiteral("notify")));
        QVERIFY(notify.ok());
        QProcess daemon;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("NOTIFY_SOCKET"), m_dir.filePath(QStringLiteral("notify")));
        daemon.setProcessEnvironment(env);
        daemon.start(lined(), {QStringLiteral("-c"), path});
        const QByteArray ready = notify.next(5000);
        QVERIFY2(ready.contains("READY=1"), ready.constData());
        QVERIFY(listeningOnLoopback(port));

        QProcess read;
        read.start(ctl(), {QStringLiteral("read"), QStringLiteral("--port"), QStringLiteral("tcp://127.0.0.1:%1").arg(port),
                           QStringLiteral("-d"), QStringLiteral("1")});
        QVERIFY(waitUntil([&] { return read.state() == QProcess::NotRunning; }, 10000));
        QCOMPARE(read.exitCode(), 0);

        QTcpSocket page;
        page.connectToHost(QHostAddress::LocalHost, status);
        QVERIFY(page.waitForConnected(3000));
        page.write("GET / HTTP/1.0\r\n\r\n");
        QByteArray text;
        QVERIFY(waitUntil([&] {
            text += page.readAll();
            return page.state() == QAbstractSocket::UnconnectedState;
        }, 3000));
        text += page.readAll();
        QVERIFY2(text.startsWith("HTTP/1.0 200 OK"), text.constData());
        QVERIFY2(text.contains("line press-3"), text.constData());
        QVERIFY2(text.contains("1 reads"), text.constData());

        ::kill(pid_t(daemon.processId()), SIGTERM);
        QVERIFY(daemon.waitForFinished(5000));
        QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
        QCOMPARE(daemon.exitCode(), 0);
        const QByteArray log = daemon.readAllStandardError();
        QVERIFY2(log.contains("press-3: client 127.0.0.1:"), log.constData());
        QVERIFY(notify.next(1000).contains("STOPPING=1"));
    }
};

QTEST_GUILESS_MAIN(TestLinedProgram)
#include "tst_linedprogram.moc"
