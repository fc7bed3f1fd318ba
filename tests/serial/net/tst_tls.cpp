// Network lines inside TLS, through the real ser2net in front of the
// simulator, with certificates made by the test: who the gateway is, who we
// are, every refusal its own fault with nothing sent on the line; and only
// the counter's own replies after connecting, on every kind of gateway.
#include "frames.h"
#include "netcomm.h"
#include "ptycounterline.h"
#include "ser2netprocess.h"
#include "testpki.h"

#include <QtTest>

using namespace kestran;
using sim::PtyCounterLine;
using test::Ser2netProcess;
using test::TestPki;

namespace {
const QByteArray kOld = "+0001111";
const QByteArray kNew = "+0002222";
}

class TestTls : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void open_data();
    void open();
    void plainOpenOfTlsPort();
    void keyReadableByOthers();
    void onlyTheCountersReplies_data();
    void onlyTheCountersReplies();

private:
    // ser2net with `cert` (a name of the PKI) in an ssl accepter.
    QString accepter(const QString &cert, bool clientAuth, bool rfc2217) const
    {
        return QStringLiteral("%1ssl(key=%2,cert=%3%4),").arg(rfc2217 ? QStringLiteral("telnet(rfc2217),") : QString(),
                                                              m_pki.path(cert + QStringLiteral(".key")),
                                                              m_pki.path(cert + QStringLiteral(".crt")),
                                                              clientAuth ? QStringLiteral(",clientauth") : QString());
    }
    QByteArray readOnce(NetComm &comm, const QByteArray &expect)
    {
        comm.setOutput(QString::fromLatin1(readAllFrame(QLatin1Char('0'))));
        QByteArray got;
        waitUntil([&] {
            QCoreApplication::processEvents();
            got += comm.Input().toLatin1();
            return got.contains(expect);
        }, 3000);
        return got;
    }
    TestPki m_pki;
};

void TestTls::initTestCase()
{
    if (Ser2netProcess::program().isEmpty() || !TestPki::available())
        QFAIL("ser2net, openssl or gtlssh-keygen (gensio-bin) is not installed: the test command installs them (scripts/deps.sh)");
    QVERIFY(m_pki.make());
}

void TestTls::open_data()
{
    QTest::addColumn<QString>("gatewayCert");
    QTest::addColumn<bool>("clientAuth");
    QTest::addColumn<bool>("rfc2217");
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("ca");       // "" = the system's store
    QTest::addColumn<QString>("client");   // "" = no client certificate
    QTest::addColumn<QString>("pinOf");    // the certificate whose fingerprint is pinned
    QTest::addColumn<SerialFault>("fault");
    QTest::addColumn<QString>("mentions");
    using F = SerialFault;
    const QString ca = QStringLiteral("ca.crt");
    QTest::newRow("raw, plant CA") << "gw" << false << false << "tls" << ca << "" << "" << F::None << "";
    QTest::newRow("rfc2217, plant CA") << "gw" << false << true << "rfc2217+tls" << ca << "" << "" << F::None << "";
    QTest::newRow("system store") << "gw" << false << false << "tls" << "" << "" << "" << F::NotTrusted << "fingerprint";
    QTest::newRow("another CA") << "gw-otherca" << false << false << "tls" << ca << "" << "" << F::NotTrusted << "fingerprint";
    QTest::newRow("another name") << "gw-name" << false << false << "tls" << ca << "" << "" << F::WrongName
                                  << "gw-elsewhere.example";
    QTest::newRow("expired") << "gw-expired" << false << false << "tls" << ca << "" << "" << F::CertExpired << "2021";
    QTest::newRow("pin right") << "selfsigned" << false << false << "tls" << "" << "" << "selfsigned" << F::None << "";
    QTest::newRow("pin wrong") << "selfsigned" << false << false << "tls" << "" << "" << "gw" << F::NotTrusted << "pinned";
    QTest::newRow("client accepted") << "gw" << true << false << "tls" << ca << "client" << "" << F::None << "";
    QTest::newRow("client accepted, rfc2217") << "gw" << true << true << "rfc2217+tls" << ca << "client" << "" << F::None << "";
    QTest::newRow("no client cert") << "gw" << true << false << "tls" << ca << "" << "" << F::CertRefused << "none is set";
    QTest::newRow("client, another CN") << "gw" << true << false << "tls" << ca << "client-cn" << "" << F::CertRefused
                                        << "CN=stranger";
    QTest::newRow("client, another CA") << "gw" << true << false << "tls" << ca << "client-otherca" << ""
                                        << F::CertRefused << "refused";
    QTest::newRow("client, expired") << "gw" << true << false << "tls" << ca << "client-expired" << ""
                                     << F::CertRefused << "refused";
    QTest::newRow("plain port as TLS") << "" << false << false << "tls" << ca << "" << "" << F::TlsMismatch << "tcp://";
}

void TestTls::open()
{
    QFETCH(QString, gatewayCert);
    QFETCH(bool, clientAuth);
    QFETCH(bool, rfc2217);
    QFETCH(QString, scheme);
    QFETCH(QString, ca);
    QFETCH(QString, client);
    QFETCH(QString, pinOf);
    QFETCH(SerialFault, fault);
    QFETCH(QString, mentions);
    PtyCounterLine line;
    QVERIFY(line.start());
    line.withLine([](sim::CounterLine &l) { l.setValue(0, 0, kNew); });
    Ser2netProcess gateway;
    const QStringList options = clientAuth ? QStringList{QStringLiteral("authdir: %1").arg(m_pki.path("auth"))}
                                           : QStringList{};
    QVERIFY(gateway.startAccepter(gatewayCert.isEmpty() ? QString() : accepter(gatewayCert, clientAuth, rfc2217),
                                  scheme, line.slavePath(), QStringLiteral("19200n81"), options));
    TlsSettings tls;
    tls.caFile = ca.isEmpty() ? QString() : m_pki.path(ca);
    if (!client.isEmpty()) {
        tls.certFile = m_pki.path(client + QStringLiteral(".crt"));
        tls.keyFile = m_pki.path(client + QStringLiteral(".key"));
    }
    if (!pinOf.isEmpty())
        tls.pin = m_pki.fingerprint(pinOf + QStringLiteral(".crt"));
    NetComm comm;
    comm.setTlsSettings(tls);
    comm.setDevicePath(gateway.url());
    comm.setSettings(QStringLiteral("19200,N,8,1"));
    const bool opened = comm.setPortOpen(true);
    QVERIFY2(opened == (fault == SerialFault::None), qPrintable(comm.errorString()));
    QCOMPARE(comm.fault(), fault);
    QVERIFY2(comm.errorString().contains(mentions), qPrintable(comm.errorString()));
    if (opened) {
        QVERIFY(readOnce(comm, kNew).contains(kNew));
        return;
    }
    if (fault == SerialFault::NotTrusted && pinOf.isEmpty())   // the fingerprint shown is the gateway's
        QVERIFY(comm.errorString().contains(m_pki.fingerprint(gatewayCert + QStringLiteral(".crt"))));
    // Nothing of ours reached the line; a plain port gets our TLS hello, no frame.
    QTest::qWait(100);
    if (fault == SerialFault::TlsMismatch)
        QVERIFY(!line.received().contains(readAllFrame(QLatin1Char('0'))));
    else
        QCOMPARE(line.received(), QByteArray());
}

void TestTls::plainOpenOfTlsPort()
{
    PtyCounterLine line;
    QVERIFY(line.start());
    Ser2netProcess gateway;
    QVERIFY(gateway.startAccepter(accepter(QStringLiteral("gw"), false, false), QStringLiteral("tcp"), line.slavePath()));
    NetComm comm;
    comm.setDevicePath(gateway.url());
    QVERIFY(comm.setPortOpen(true));   // a TLS gateway says nothing before the client's hello
    QSignalSpy lost(&comm, &SerialControl::connectionLost);
    comm.setOutput(QString::fromLatin1(readAllFrame(QLatin1Char('0'))));
    QVERIFY(lost.wait(3000));
    QCOMPARE(comm.fault(), SerialFault::ClosedUnanswered);
    QVERIFY2(comm.errorString().contains(QStringLiteral("tls://127.0.0.1")), qPrintable(comm.errorString()));
    QCOMPARE(line.received(), QByteArray());
}

void TestTls::keyReadableByOthers()
{
    const QString key = m_pki.path(QStringLiteral("open.key"));
    QVERIFY(QFile::copy(m_pki.path(QStringLiteral("client.key")), key));
    QFile::setPermissions(key, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
    TlsSettings tls{QString(), m_pki.path(QStringLiteral("client.crt")), key, QString(), QStringLiteral("the test")};
    NetComm comm;
    comm.setTlsSettings(tls);
    comm.setDevicePath(QStringLiteral("tls://127.0.0.1:%1").arg(test::freeLoopbackPort()));
    QVERIFY(!comm.setPortOpen(true));
    QCOMPARE(comm.fault(), SerialFault::TlsSettings);
    QVERIFY2(comm.errorString().contains(QStringLiteral("read by other users")), qPrintable(comm.errorString()));
    QVERIFY(comm.errorString().contains(QStringLiteral("the test")));
}

void TestTls::onlyTheCountersReplies_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("banner");   // the gateway sends an old reply the moment a client connects
    QTest::newRow("tcp, late replies") << "tcp" << false;
    QTest::newRow("rfc2217, late replies") << "rfc2217" << false;
    QTest::newRow("tls, late replies") << "tls" << false;
    QTest::newRow("tcp, old bytes on connect") << "tcp" << true;
}

void TestTls::onlyTheCountersReplies()
{
    QFETCH(QString, kind);
    QFETCH(bool, banner);
    sim::LineOptions slow;
    slow.replyDelayMs = banner ? 0 : 300;
    PtyCounterLine line(slow);
    QVERIFY(line.start());
    line.withLine([](sim::CounterLine &l) { l.setValue(0, 0, kOld); });
    Ser2netProcess gateway;
    QStringList options;
    if (banner)
        options << QStringLiteral("banner: \"%1\\r\"").arg(QString::fromLatin1(replyFrame(QLatin1Char('0'), QLatin1Char('0'), kOld).chopped(1)));
    const QString prefix = kind == QLatin1String("rfc2217") ? QStringLiteral("telnet(rfc2217),")
                         : kind == QLatin1String("tls") ? accepter(QStringLiteral("gw"), false, false) : QString();
    QVERIFY(gateway.startAccepter(prefix, kind, line.slavePath(), QStringLiteral("19200n81"), options));
    NetComm comm;
    comm.setTlsSettings({m_pki.path(QStringLiteral("ca.crt")), {}, {}, {}, {}});
    comm.setDevicePath(gateway.url());
    if (!banner) {
        // A script's read that gave up: the slow replies come after it has gone.
        QVERIFY(comm.setPortOpen(true));
        comm.setOutput(QString::fromLatin1(readAllFrame(QLatin1Char('0'))));
        QTest::qWait(50);
        comm.setPortOpen(false);
        QVERIFY(waitUntil([&] { return line.sent().contains(kOld); }, 3000));
        QTest::qWait(100);
    }
    line.withLine([](sim::CounterLine &l) { l.setValue(0, 0, kNew); });
    QVERIFY(comm.setPortOpen(true));
    const QByteArray got = readOnce(comm, kNew);
    QVERIFY2(!got.contains(kOld), got.constData());
    QVERIFY2(got.contains(kNew), got.constData());
}

QTEST_GUILESS_MAIN(TestTls)
#include "tst_tls.moc"
