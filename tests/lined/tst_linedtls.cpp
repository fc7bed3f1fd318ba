// The line server's TLS side: clients named by their certificate's CN,
// writers by name, no certificate no entry, and the handshake's time limit.
#include "gatewaytexts.h"
#include "linedlog.h"
#include "lineserver.h"
#include "ptycounterline.h"
#include "testpki.h"
#include "waituntil.h"

#include <QFile>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTest>

#include <memory>

using namespace kestran;
using namespace kestran::lined;
using kestran::sim::PtyCounterLine;
using kestran::test::TestPki;

class TestLinedTls : public QObject {
    Q_OBJECT

    TestPki m_pki;
    std::unique_ptr<PtyCounterLine> m_sim;
    std::unique_ptr<LineServer> m_server;

    bool serve(const std::optional<QStringList> &writers, int handshakeMs = 5000)
    {
        m_server.reset();
        m_sim = std::make_unique<PtyCounterLine>();
        if (!m_sim->start())
            return false;
        LineConfig config;
        config.port = m_sim->slavePath();
        config.writers = writers;
        QString why;
        if (!parseListenAddress(QStringLiteral("tls://127.0.0.1:0"), &config.listen, &why))
            return false;
        ServerTls tls;
        tls.certFile = m_pki.path(QStringLiteral("gw.crt"));
        tls.keyFile = m_pki.path(QStringLiteral("gw.key"));
        tls.caFile = m_pki.path(QStringLiteral("ca.crt"));
        tls.handshakeTimeoutMs = handshakeMs;
        m_server = std::make_unique<LineServer>(config, tls);
        QString error;
        if (!m_server->start(&error)) {
            qWarning() << error;
            return false;
        }
        return waitUntil([&] { return m_server->lineState() == LineServer::LineState::Idle; }, 3000);
    }

    // A TLS client with the certificate `client` ("" = none).
    std::unique_ptr<QSslSocket> connectAs(const QString &client)
    {
        auto s = std::make_unique<QSslSocket>();
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        conf.setCaCertificates(QSslCertificate::fromPath(m_pki.path(QStringLiteral("ca.crt"))));
        if (!client.isEmpty()) {
            conf.setLocalCertificate(QSslCertificate::fromPath(m_pki.path(client + QStringLiteral(".crt"))).constFirst());
            QFile key(m_pki.path(client + QStringLiteral(".key")));
            key.open(QIODevice::ReadOnly);
            conf.setPrivateKey(QSslKey(key.readAll(), QSsl::Rsa));
        }
        s->setSslConfiguration(conf);
        s->connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_server->listenPort(), QStringLiteral("localhost"));
        return s;
    }

private slots:
    void initTestCase()
    {
        setLogQuiet(qEnvironmentVariableIsEmpty("KESTRAN_LINED_LOG"));
        if (!TestPki::available())
            QFAIL("openssl or gtlssh-keygen (gensio-bin) is not installed: the test command installs both");
        QVERIFY(m_pki.make());
    }
    void cleanup()
    {
        m_server.reset();
        m_sim.reset();
    }

    // kestran-ctl reads through the TLS side with its client certificate.
    void ctlReadsOverTls()
    {
        QVERIFY(serve(std::nullopt));
        QProcess ctl;
        ctl.start(qEnvironmentVariable("KESTRAN_BUILD_DIR") + QStringLiteral("/src/kestran-ctl"),
                  {QStringLiteral("read"), QStringLiteral("--port"),
                   QStringLiteral("tls://127.0.0.1:%1").arg(m_server->listenPort()), QStringLiteral("-d"),
                   QStringLiteral("2"), QStringLiteral("--ca"), m_pki.path(QStringLiteral("ca.crt")),
                   QStringLiteral("--cert"), m_pki.path(QStringLiteral("client.crt")), QStringLiteral("--key"),
                   m_pki.path(QStringLiteral("client.key"))});
        QVERIFY(waitUntil([&] { return ctl.state() == QProcess::NotRunning; }, 10000));
        QVERIFY2(ctl.exitCode() == 0, ctl.readAllStandardError().constData());
        QVERIFY(ctl.readAllStandardOutput().contains("+0003000"));
    }

    // Writers are named by their certificate's CN.
    void writersByCommonName_data()
    {
        QTest::addColumn<QString>("client");
        QTest::addColumn<bool>("mayWrite");
        QTest::newRow("named writer") << QStringLiteral("client") << true;
        QTest::newRow("another CN") << QStringLiteral("client-cn") << false;
    }
    void writersByCommonName()
    {
        QFETCH(QString, client);
        QFETCH(bool, mayWrite);
        QVERIFY(serve(QStringList{QLatin1String(TestPki::kClientCn)}));
        auto s = connectAs(client);
        QVERIFY(waitUntil([&] { return s->isEncrypted(); }, 5000));
        s->write("*0W:3=+0000099\r*0R:?=?\r");
        QByteArray got;
        QObject::connect(s.get(), &QSslSocket::readyRead, [&] { got += s->readAll(); });
        if (mayWrite) {
            QVERIFY(waitUntil([&] { return got.size() >= 8 * 15; }, 5000));
            QVERIFY(got.contains("*0C:3=+0000099\r"));
            QCOMPARE(m_sim->value(0, 3), QByteArray("+0000099"));
        } else {
            QVERIFY(waitUntil([&] { return s->state() == QAbstractSocket::UnconnectedState; }, 5000));
            QCOMPARE(got, QByteArray(kLinedWriteRefused));
            QVERIFY(m_sim->received().isEmpty());
        }
    }

    // No certificate, or one from another CA: no entry, nothing on the line.
    void clientWithoutTrustedCertificate_data()
    {
        QTest::addColumn<QString>("client");
        QTest::newRow("no certificate") << QString();
        QTest::newRow("other CA") << QStringLiteral("client-otherca");
    }
    void clientWithoutTrustedCertificate()
    {
        QFETCH(QString, client);
        QVERIFY(serve(std::nullopt));
        auto s = connectAs(client);
        QObject::connect(s.get(), &QSslSocket::encrypted, [&] { s->write("*0R:?=?\r"); });
        QVERIFY(waitUntil([&] { return s->state() == QAbstractSocket::UnconnectedState; }, 5000));
        QCOMPARE(s->bytesAvailable(), 0);
        QTest::qWait(50);
        QVERIFY(m_sim->received().isEmpty());
        QCOMPARE(m_server->stats().accepted, 0);
    }

    // A connection that never finishes its handshake is closed after the limit.
    void handshakeTimeLimit()
    {
        QVERIFY(serve(std::nullopt, 300));
        QTcpSocket plain;
        plain.connectToHost(QHostAddress::LocalHost, m_server->listenPort());
        QVERIFY(plain.waitForConnected(3000));
        QElapsedTimer t;
        t.start();
        QVERIFY(waitUntil([&] { return plain.state() == QAbstractSocket::UnconnectedState; }, 3000));
        QVERIFY(t.elapsed() >= 250);
        QCOMPARE(m_server->stats().accepted, 0);
    }
};

QTEST_GUILESS_MAIN(TestLinedTls)
#include "tst_linedtls.moc"
