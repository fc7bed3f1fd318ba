// kestran-ctl through gateways that go away in the middle of a write: ser2net
// (raw, RFC 2217, TLS), gateways that are not ser2net (socat, and stunnel
// in front of it) and our own line server, each killed once the first frame has reached the
// simulated line. A write gets no reply, so nothing on the connection tells
// whether its bytes got through: what went out is "sent, not verified", never
// "nothing written".
#include "frames.h"
#include "ptycounterline.h"
#include "ser2netprocess.h"
#include "testpki.h"
#include "waituntil.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

using namespace kestran;
using sim::PtyCounterLine;

namespace {

// A gateway that is a program of its own, listening on a free loopback port.
class Gateway {
public:
    ~Gateway() { kill(); }
    bool start(const QString &program, const QStringList &args, quint16 port)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(program, args);
        return m_process.waitForStarted(5000) && waitUntil([port] { return test::listeningOnLoopback(port); }, 5000);
    }
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
};

QString tool(const char *name)
{
    const QString found = QStandardPaths::findExecutable(QLatin1String(name));
    return found.isEmpty() ? QStandardPaths::findExecutable(QLatin1String(name), {QStringLiteral("/usr/sbin")}) : found;
}

} // namespace

class TestCtlGateway : public QObject {
    Q_OBJECT

    test::TestPki m_pki;
    QTemporaryDir m_dir;

    // socat, or stunnel in front of socat, before `device`; returns the port text.
    QString startOther(Gateway &gw, Gateway &inner, const QString &kind, const QString &device)
    {
        const quint16 port = test::freeLoopbackPort();
        const QString tcp = QStringLiteral("127.0.0.1:%1").arg(port);
        if (kind == QLatin1String("socat")) {
            if (!gw.start(tool("socat"),
                          {QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr").arg(port),
                           QStringLiteral("FILE:%1,raw,echo=0,b19200").arg(device)}, port))
                return {};
            return QStringLiteral("tcp://") + tcp;
        }
        // stunnel's TLS in front of socat's raw port.
        const quint16 rawPort = test::freeLoopbackPort();
        if (!inner.start(tool("socat"),
                         {QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr").arg(rawPort),
                          QStringLiteral("FILE:%1,raw,echo=0,b19200").arg(device)}, rawPort))
            return {};
        const QString conf = m_dir.filePath(QStringLiteral("stunnel-%1.conf").arg(port));
        QFile f(conf);
        if (!f.open(QIODevice::WriteOnly))
            return {};
        f.write(QStringLiteral("foreground = yes\npid =\n[gw]\naccept = %1\nconnect = 127.0.0.1:%2\ncert = %3\nkey = %4\n")
                    .arg(tcp).arg(rawPort).arg(m_pki.path(QStringLiteral("gw.crt")), m_pki.path(QStringLiteral("gw.key")))
                    .toUtf8());
        f.close();
        if (!gw.start(tool("stunnel4").isEmpty() ? tool("stunnel") : tool("stunnel4"), {conf}, port))
            return {};
        return QStringLiteral("tls://") + tcp;
    }

private slots:
    void initTestCase()
    {
        for (const char *t : {"ser2net", "socat", "openssl"})
            if (tool(t).isEmpty())
                QFAIL(qPrintable(QStringLiteral("%1 is not installed: the test command installs it").arg(QLatin1String(t))));
        if (tool("stunnel4").isEmpty() && tool("stunnel").isEmpty())
            QFAIL("stunnel is not installed: the test command installs it");
        QVERIFY(m_pki.make());
    }

    void lostAfterTheFirstFrame_data()
    {
        QTest::addColumn<QString>("gateway");
        QTest::newRow("local pty") << "pty";
        QTest::newRow("ser2net tcp") << "tcp";
        QTest::newRow("ser2net rfc2217") << "rfc2217";
        QTest::newRow("ser2net tls") << "tls";
        QTest::newRow("socat tcp") << "socat";
        QTest::newRow("stunnel tls") << "stunnel";
        QTest::newRow("kestran-lined tcp") << "lined";
    }
    void lostAfterTheFirstFrame()
    {
        QFETCH(QString, gateway);
        PtyCounterLine line;
        QVERIFY(line.start());
        test::Ser2netProcess ser2net;
        Gateway other, inner;
        QString port;
        QStringList tls;
        if (gateway == QLatin1String("pty")) {
            port = line.slavePath();
        } else if (gateway == QLatin1String("tcp") || gateway == QLatin1String("rfc2217")) {
            QVERIFY(ser2net.start(line.slavePath(), gateway == QLatin1String("rfc2217")));
            port = ser2net.url();
        } else if (gateway == QLatin1String("tls")) {
            QVERIFY(ser2net.startAccepter(QStringLiteral("ssl(key=%1,cert=%2),")
                                              .arg(m_pki.path(QStringLiteral("gw.key")), m_pki.path(QStringLiteral("gw.crt"))),
                                          QStringLiteral("tls"), line.slavePath()));
            port = ser2net.url();
        } else if (gateway == QLatin1String("lined")) {
            QVERIFY(ser2net.startLineServer(line.slavePath()));
            port = ser2net.url();
        } else {
            port = startOther(other, inner, gateway, line.slavePath());
            QVERIFY2(!port.isEmpty(), qPrintable(gateway));
        }
        if (port.startsWith(QLatin1String("tls://")))
            tls << QStringLiteral("--ca") << m_pki.path(QStringLiteral("ca.crt"));

        QProcess ctl;
        ctl.start(qEnvironmentVariable("KESTRAN_BUILD_DIR") + QStringLiteral("/src/kestran-ctl"),
                  QStringList{"write", "--port", port, "-d", "3", "TARGET=1", "ACTUAL=2", "RESET=3", "ALARM=1", "--json"} + tls);
        // The first frame has reached the line: the gateway goes (the pty: the line goes).
        const QByteArray first = writeFrame(QLatin1Char('3'), QLatin1Char('0'), "+0000001");
        QVERIFY(waitUntil([&] { return line.received().contains(first); }, 10000));
        if (gateway == QLatin1String("pty"))
            line.kill();
        else if (ser2net.processId() > 0)
            ser2net.kill();
        else
            other.kill();
        QVERIFY(ctl.waitForFinished(20000));
        const QByteArray err = ctl.readAllStandardError();
        QCOMPARE(ctl.exitCode(), 5);
        QVERIFY2(!err.contains("nothing written"), err.constData());
        QVERIFY2(err.contains("sent, not verified"), err.constData());
        const QJsonArray rows = QJsonDocument::fromJson(ctl.readAllStandardOutput()).array();
        QCOMPARE(rows.size(), 4);
        // TARGET went out and reached the line; whatever went after it is not
        // known to have, and the last is never sent.
        QCOMPARE(rows[0].toObject().value("name").toString(), QStringLiteral("TARGET"));
        QCOMPARE(rows[0].toObject().value("result").toString(), QStringLiteral("not verified"));
        QCOMPARE(rows[3].toObject().value("result").toString(), QStringLiteral("not sent"));
    }
};

QTEST_GUILESS_MAIN(TestCtlGateway)
#include "tst_ctlgateway.moc"
