// kestran-ctl through TLS gateways: the real ser2net in front of simulated
// counters, certificates made by the test; the TLS settings from options,
// the environment and a plant file; every refusal exit 3 with nothing sent.
#include "frames.h"
#include "ptycounterline.h"
#include "ser2netprocess.h"
#include "testpki.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace kestran;
using sim::PtyCounterLine;
using test::Ser2netProcess;
using test::TestPki;

class TestCtlTls : public QObject {
    Q_OBJECT
    struct Run {
        int code = -1;
        QByteArray out, err;
    };
    Run ctl(const QStringList &args, const QStringList &env = {})
    {
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (const QString &kv : env)
            e.insert(kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1));
        p.setProcessEnvironment(e);
        p.start(qEnvironmentVariable("KESTRAN_BUILD_DIR") + QStringLiteral("/src/kestran-ctl"), args);
        Run r;
        if (!p.waitForFinished(30000))
            return r;
        r.code = p.exitCode();
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }
    QString accepter(const QString &cert, bool clientAuth, bool rfc2217) const
    {
        return QStringLiteral("%1ssl(key=%2,cert=%3%4),").arg(rfc2217 ? QStringLiteral("telnet(rfc2217),") : QString(),
                                                              m_pki.path(cert + QStringLiteral(".key")),
                                                              m_pki.path(cert + QStringLiteral(".crt")),
                                                              clientAuth ? QStringLiteral(",clientauth") : QString());
    }
    QStringList authOptions() const { return {QStringLiteral("authdir: %1").arg(m_pki.path(QStringLiteral("auth")))}; }
    TestPki m_pki;

private slots:
    void initTestCase()
    {
        if (Ser2netProcess::program().isEmpty() || !TestPki::available())
            QFAIL("ser2net, openssl or gtlssh-keygen (gensio-bin) is not installed: the test command installs them (scripts/deps.sh)");
        QVERIFY(m_pki.make());
    }

    // Write with verify, read, backup and restore inside TLS, raw and RFC 2217,
    // the client certificate from the options or from the environment.
    void commands_data()
    {
        QTest::addColumn<bool>("rfc2217");
        QTest::addColumn<bool>("fromEnvironment");
        QTest::newRow("tls, options") << false << false;
        QTest::newRow("rfc2217+tls, environment") << true << true;
    }
    void commands()
    {
        QFETCH(bool, rfc2217);
        QFETCH(bool, fromEnvironment);
        PtyCounterLine line;
        QVERIFY(line.start());
        Ser2netProcess gateway;
        QVERIFY(gateway.startAccepter(accepter(QStringLiteral("gw"), true, rfc2217),
                                      rfc2217 ? QStringLiteral("rfc2217+tls") : QStringLiteral("tls"), line.slavePath(),
                                      QStringLiteral("19200n81"), authOptions() << QStringLiteral("chardelay: false")));
        QStringList tls, env;
        const QStringList files{m_pki.path("ca.crt"), m_pki.path("client.crt"), m_pki.path("client.key")};
        if (fromEnvironment)
            env << "KESTRAN_TLS_CA=" + files[0] << "KESTRAN_TLS_CERT=" + files[1] << "KESTRAN_TLS_KEY=" + files[2];
        else
            tls << "--ca" << files[0] << "--cert" << files[1] << "--key" << files[2];
        const QStringList port{QStringLiteral("--port"), gateway.url(), QStringLiteral("-d"), QStringLiteral("4")};
        Run r = ctl(QStringList{"write"} + port + tls + QStringList{"RESET=42", "-q"}, env);
        QVERIFY2(r.code == 0, r.err.constData());
        r = ctl(QStringList{"read"} + port + tls + QStringList{"--json"}, env);
        QVERIFY2(r.code == 0 && r.out.contains("\"+0000042\""), r.err.constData());
        const QString backup = m_pki.path(QStringLiteral("backup-%1.json").arg(rfc2217));
        r = ctl(QStringList{"backup"} + port + tls + QStringList{"-o", backup, "-q"}, env);
        QVERIFY2(r.code == 0, r.err.constData());
        line.withLine([](sim::CounterLine &l) { l.setValue(4, 3, "+0000007"); });
        r = ctl(QStringList{"restore", backup} + port + tls + QStringList{"-q"}, env);
        QVERIFY2(r.code == 0, r.err.constData());
        QCOMPARE(line.value(4, 3), QByteArray("+0000042"));
    }

    // Every refusal: exit 3, its own message, nothing on the line.
    void refusals_data()
    {
        QTest::addColumn<QString>("cert");
        QTest::addColumn<bool>("clientAuth");
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("mentions");
        const QString ca = m_pki.path("ca.crt");
        QTest::newRow("another CA") << "gw-otherca" << false << "tls" << QStringList{"--ca", ca} << "not trusted";
        QTest::newRow("expired") << "gw-expired" << false << "tls" << QStringList{"--ca", ca} << "expired on";
        QTest::newRow("no client certificate") << "gw" << true << "tls" << QStringList{"--ca", ca} << "none is set";
        QTest::newRow("bad pin") << "selfsigned" << false << "tls" << QStringList{"--pin", "00:11"} << "not a SHA-256";
        QTest::newRow("TLS port as plain") << "gw" << false << "tcp" << QStringList{} << "tls://127.0.0.1";
        QTest::newRow("plain port as TLS") << "" << false << "tls" << QStringList{"--ca", ca} << "does not speak TLS";
    }
    void refusals()
    {
        QFETCH(QString, cert);
        QFETCH(bool, clientAuth);
        QFETCH(QString, scheme);
        QFETCH(QStringList, args);
        QFETCH(QString, mentions);
        PtyCounterLine line;
        QVERIFY(line.start());
        Ser2netProcess gateway;
        QVERIFY(gateway.startAccepter(cert.isEmpty() ? QString() : accepter(cert, clientAuth, false), scheme,
                                      line.slavePath(), QStringLiteral("19200n81"), clientAuth ? authOptions() : QStringList{}));
        const Run r = ctl(QStringList{"read", "--port", gateway.url(), "-d", "0"} + args);
        QCOMPARE(r.code, 3);
        QVERIFY2(r.err.contains(mentions.toUtf8()), r.err.constData());
        QVERIFY(!line.received().contains(readAllFrame(QLatin1Char('0'))));
    }

    // A write to a TLS gateway opened as plain: the write first reads the
    // values before (for the history), so the gateway drops that read and
    // closes, and the TLS port is named as the likely cause: the line lost
    // before anything was written, so the value is "not sent".
    void writeToTlsPortAsPlain()
    {
        PtyCounterLine line;
        QVERIFY(line.start());
        Ser2netProcess gateway;
        QVERIFY(gateway.startAccepter(accepter("gw", false, false), "tcp", line.slavePath(), QStringLiteral("19200n81")));
        const Run r = ctl(QStringList{"write", "--port", gateway.url(), "-d", "0", "TARGET=+0000001", "--json"});
        QVERIFY2(r.err.contains("tls://"), r.err.constData());
        const QJsonArray rows = QJsonDocument::fromJson(r.out).array();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(r.code, 3);
        QCOMPARE(rows[0].toObject().value("result").toString(), QStringLiteral("not sent"));
        QVERIFY(line.received().isEmpty());
    }

    // Two TLS lines beside a plain one: the file's [tls] for all, one line's own client certificate.
    void plant()
    {
        PtyCounterLine a, b, c;
        QVERIFY(a.start() && b.start() && c.start());
        Ser2netProcess ga, gb, gc;
        QVERIFY(ga.startAccepter(accepter(QStringLiteral("gw"), false, false), QStringLiteral("tls"), a.slavePath()));
        QVERIFY(gb.startAccepter(accepter(QStringLiteral("gw"), true, true), QStringLiteral("rfc2217+tls"), b.slavePath(),
                                 QStringLiteral("19200n81"), authOptions()));
        QVERIFY(gc.start(c.slavePath(), false));
        QFile f(m_pki.path(QStringLiteral("plant.toml")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("[tls]\nca = \"ca.crt\"\n"
                               "[[line]]\nname = \"a\"\nport = \"%1\"\ndevices = [0]\n"
                               "[[line]]\nname = \"b\"\nport = \"%2\"\ndevices = [1]\n"
                               "tls = { cert = \"client.crt\", key = \"client.key\" }\n"
                               "[[line]]\nname = \"c\"\nport = \"%3\"\ndevices = [2]\n")
                    .arg(ga.url(), gb.url(), gc.url()).toUtf8());
        f.close();
        const Run r = ctl({"backup", "--plant", f.fileName(), "-o", m_pki.path("snapshot.json"), "-q"});
        QVERIFY2(r.code == 0, r.err.constData());
    }
};

QTEST_GUILESS_MAIN(TestCtlTls)
#include "tst_ctltls.moc"
