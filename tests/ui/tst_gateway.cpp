// The window on counters behind a network gateway: the real ser2net on the
// loopback in front of the simulator's pseudo-terminal, for tcp:// and
// rfc2217:// ports; and the ways an open can fail or be called off.
#include "frames.h"
#include "netcomm.h"
#include "parameters.h"
#include "ser2netprocess.h"
#include "serialswitch.h"
#include "testpki.h"
#include "tlssettings.h"
#include "windowfixture.h"

#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

using namespace kestran;
using sim::PtyCounterLine;
using test::Ser2netProcess;

namespace {
constexpr qint64 kPauseFloorNs = 249000000;   // one 250 ms tick, less rounding
const std::array<QByteArray, 7> kValues = {"+0001234", "-0000567", "+0000089", "+0000011",
                                           "+0000022", "+0000033", "+0000044"};

// A port on the loopback that never answers: its listen queue is already
// full, so the kernel drops every further connection request unanswered.
class DeadListener {
public:
    DeadListener()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::bind(m_listener, reinterpret_cast<sockaddr *>(&a), len) != 0 || ::listen(m_listener, 0) != 0
            || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            return;
        m_filler = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(m_filler, reinterpret_cast<sockaddr *>(&a), len) == 0)
            port = ntohs(a.sin_port);
    }
    ~DeadListener()
    {
        ::close(m_filler);
        ::close(m_listener);
    }
    quint16 port = 0;

private:
    int m_listener = -1, m_filler = -1;
};

// The line settings in force on a terminal device.
bool attributesOf(const QString &path, termios *out)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const bool ok = fd >= 0 && ::tcgetattr(fd, out) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// The serial control the window makes for itself, noting when each frame's
// first character is handed to it.
class StampingSwitch : public SerialSwitch {
public:
    QVector<qint64> frameSent;
    void setOutput(const QString &text) override
    {
        if (text == QLatin1String("*"))
            frameSent << PtyCounterLine::nowNs();
        SerialSwitch::setOutput(text);
    }
};

// No socket of the network control is connected or on its way.
bool nothingHalfOpen(SerialSwitch &comm)
{
    for (const QTcpSocket *s : comm.network()->findChildren<QTcpSocket *>())
        if (s->state() != QAbstractSocket::UnconnectedState && s->state() != QAbstractSocket::ClosingState)
            return false;
    return true;
}
} // namespace

class TestGateway : public QObject {
    Q_OBJECT

    std::unique_ptr<WindowOnLine<StampingSwitch>> win;
    std::unique_ptr<Ser2netProcess> gateway;

    // The window open through ser2net ("tcp", "rfc2217") or our line server
    // ("lined") on a fresh line, showing device 0.
    void openThroughGateway(const QString &kind, const QString &lineSettings = QStringLiteral("19200n81"))
    {
        win = std::make_unique<WindowOnLine<StampingSwitch>>();
        QVERIFY(win->startLine());
        gateway = std::make_unique<Ser2netProcess>();
        if (kind == QLatin1String("lined"))
            QVERIFY(gateway->startLineServer(win->line->slavePath()));
        else
            QVERIFY(gateway->start(win->line->slavePath(), kind == QLatin1String("rfc2217"), lineSettings));
        QVERIFY(win->open(gateway->url()));
        QTRY_COMPARE(misshownInitial(win->form, 0), QString());
    }

private slots:
    // A failure inside a helper would return to the test, not end it: fail here.
    void init()
    {
        if (Ser2netProcess::program().isEmpty())
            QFAIL("ser2net is not installed: the test command installs it (scripts/deps.sh)");
    }

    void cleanup()
    {
        win.reset();
        gateway.reset();
    }

    // Open fills the window; Setup sends the same frames, as far apart, as on
    // a local port. Through rfc2217:// the tool sets the line to 19200 8N1
    // itself, whatever speed the gateway and the line had; the line server
    // keeps its line at 19200 8N1, and the window's pauses hold through it.
    void setupThroughGateway_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("tcp") << "tcp";
        QTest::newRow("rfc2217") << "rfc2217";
        QTest::newRow("kestran-lined") << "lined";
    }
    void setupThroughGateway()
    {
        QFETCH(QString, kind);
        // ser2net puts the line at 9600 7E1 when a connection opens it;
        // only through rfc2217:// can the tool change that.
        openThroughGateway(kind, QStringLiteral("9600e71"));
        termios t{};
        QVERIFY(attributesOf(win->line->slavePath(), &t));
        const bool at19200N81 = cfgetospeed(&t) == B19200 && cfgetispeed(&t) == B19200
            && (t.c_cflag & CSIZE) == CS8 && (t.c_cflag & (PARENB | CSTOPB)) == 0;
        QCOMPARE(at19200N81, kind != QLatin1String("tcp"));
        if (kind == QLatin1String("tcp"))
            QCOMPARE(cfgetospeed(&t), speed_t(B9600));

        Form1 &f = win->form;
        f.cDEVICE->setListIndex(3);
        QTRY_COMPARE(misshownInitial(f, 3), QString());
        win->line->clearArrivals();
        win->comm.frameSent.clear();
        for (int step = 0; step < 7; ++step)
            f.settingFields()[step]->setText(QString::fromLatin1(kValues[step]));
        f.bSETUP->click();
        QByteArray expected;
        for (int step = 0; step < 7; ++step)
            expected += writeFrame(QLatin1Char('3'), QLatin1Char(setupOrder()[step]), kValues[step]);
        expected += readAllFrame(QLatin1Char('3'));
        QTRY_COMPARE(win->line->received(), expected);
        QVector<qint64> arrived;
        for (const sim::Arrival &a : win->line->arrivals())
            if (a.byte == '*')
                arrived << a.ns;
        const QVector<qint64> &sent = win->comm.frameSent;
        QCOMPARE(sent.size(), 8);
        QCOMPARE(arrived.size(), 8);
        for (int i = 1; i < 8; ++i)
            QVERIFY2(arrived[i] - sent[i - 1] >= kPauseFloorNs, qPrintable(QStringLiteral("frame %1").arg(i)));
        QTRY_COMPARE(misshown(f, [](int index) {
            const int step = int(std::string("0134567").find(char('0' + index)));
            return index == 2 ? sim::CounterLine::initialValue(3, 2) : kValues[size_t(step)];
        }, false), QString());
    }

    // A TLS gateway typed into the port box, with the settings of the per-user
    // file: every field read; a gateway from another CA: one message box that
    // shows its fingerprint and names the file, and nothing on the line.
    void tlsGateway_data()
    {
        QTest::addColumn<QString>("cert");
        QTest::newRow("trusted") << "gw";
        QTest::newRow("another CA") << "gw-otherca";
    }
    void tlsGateway()
    {
        QFETCH(QString, cert);
        if (!test::TestPki::available())
            QFAIL("openssl or gtlssh-keygen (gensio-bin) is not installed: the test command installs them (scripts/test)");
        test::TestPki pki;
        QVERIFY(pki.make());
        QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        QVERIFY(QDir(config.path()).mkpath(QStringLiteral("kestran-setup")));
        QFile file(kestran::userTlsSettingsPath());
        QVERIFY(file.fileName().startsWith(config.path()));
        QVERIFY(QFile::copy(pki.path(QStringLiteral("ca.crt")), config.filePath(QStringLiteral("kestran-setup/plant-ca.crt"))));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("ca = plant-ca.crt\n");
        file.close();
        win = std::make_unique<WindowOnLine<StampingSwitch>>();
        QVERIFY(win->startLine());
        win->comm.setTlsSettings(kestran::readTlsSettingsFile(kestran::userTlsSettingsPath()));
        qunsetenv("XDG_CONFIG_HOME");
        gateway = std::make_unique<Ser2netProcess>();
        QVERIFY(gateway->startAccepter(QStringLiteral("ssl(key=%1,cert=%2),").arg(pki.path(cert + ".key"), pki.path(cert + ".crt")),
                                       QStringLiteral("tls"), win->line->slavePath()));
        QSignalSpy problems(&win->form, &Form1::problemReported);
        const bool opened = win->open(gateway->url());
        QCOMPARE(opened, cert == QLatin1String("gw"));
        if (opened) {
            QTRY_COMPARE(misshownInitial(win->form, 0), QString());
            return;
        }
        QCOMPARE(problems.count(), 1);
        const QString text = problems.at(0).at(0).toString();
        QVERIFY2(text.contains(QStringLiteral("not trusted")) && text.contains(pki.fingerprint(cert + ".crt"))
                     && text.contains(file.fileName()), qPrintable(text));
        QCOMPARE(win->line->received(), QByteArray());
    }

    // ser2net going away while open is a lost line: closed, one message.
    void gatewayKilledWhileOpen_data() { setupThroughGateway_data(); }
    void gatewayKilledWhileOpen()
    {
        QFETCH(QString, kind);
        openThroughGateway(kind);
        QSignalSpy problems(&win->form, &Form1::problemReported);
        gateway->kill();
        QTRY_COMPARE(problems.count(), 1);
        QVERIFY2(problems.at(0).at(0).toString().contains(gateway->url()), qPrintable(problems.at(0).at(0).toString()));
        QCOMPARE(win->form.bCONNECT->text(), QStringLiteral("Open"));
        QVERIFY(!win->comm.PortOpen());
        QTest::qWait(300);
        QCOMPARE(problems.count(), 1);
    }

    // The window and kestran-ctl at once on one line, through our line
    // server: while the window's Setup writes device 3, the command line reads
    // device 5 over and over. Each gets whole answers of its own device, the
    // window's values all land, and its pauses hold.
    void windowAndCtlShareALine()
    {
        openThroughGateway(QStringLiteral("lined"));
        Form1 &f = win->form;
        f.cDEVICE->setListIndex(3);
        QTRY_COMPARE(misshownInitial(f, 3), QString());
        for (int step = 0; step < 7; ++step)
            f.settingFields()[step]->setText(QString::fromLatin1(kValues[step]));

        const QString ctl = qEnvironmentVariable("KESTRAN_BUILD_DIR") + QStringLiteral("/src/kestran-ctl");
        const QStringList readArgs{QStringLiteral("read"), QStringLiteral("--port"), gateway->url(),
                                   QStringLiteral("-d"), QStringLiteral("5"), QStringLiteral("--json")};
        int reads = 0;
        QStringList failures;
        QProcess reader;
        QObject::connect(&reader, &QProcess::finished, &reader, [&](int code) {
            const QByteArray out = reader.readAllStandardOutput();
            ++reads;
            if (code != 0 || !out.contains(sim::CounterLine::initialValue(5, 0)))
                failures << QStringLiteral("read %1: exit %2: %3").arg(reads).arg(code).arg(QString::fromUtf8(out));
            if (reads < 20)
                reader.start(ctl, readArgs);
        });
        reader.start(ctl, readArgs);
        win->comm.frameSent.clear();
        f.bSETUP->click();   // returns when Setup and its read-back are done
        QVERIFY(waitUntil([&] { return reader.state() == QProcess::NotRunning && reads >= 20; }, 30000));
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join(QLatin1Char('\n'))));
        QTRY_COMPARE(misshown(f, [](int index) {
            const int step = int(std::string("0134567").find(char('0' + index)));
            return index == 2 ? sim::CounterLine::initialValue(3, 2) : kValues[size_t(step)];
        }, false), QString());
        for (int step = 0; step < 7; ++step)
            QCOMPARE(win->line->value(3, setupOrder()[step] - '0'), kValues[step]);
        // Device 3's frames reached the line no sooner than a pause after the
        // window sent the frame before (stamped where the window sent it).
        const QVector<qint64> &sent = win->comm.frameSent;
        QCOMPARE(sent.size(), 8);
        QVector<qint64> arrived;
        const auto bytes = win->line->arrivals();
        for (int i = 0; i + 1 < int(bytes.size()); ++i)
            if (bytes[i].byte == '*' && bytes[i + 1].byte == '3')
                arrived << bytes[i].ns;
        QVERIFY(arrived.size() >= 8);
        arrived = arrived.mid(arrived.size() - 8);
        for (int i = 1; i < 8; ++i)
            QVERIFY2(arrived[i] - sent[i - 1] >= kPauseFloorNs, qPrintable(QStringLiteral("frame %1").arg(i)));
    }

    // Each failure: one message saying why, the window as before the click,
    // no socket left open; the window answers while the open waits.
    void openFails_data()
    {
        QTest::addColumn<QString>("port");        // "DEAD" and "FREE" become a loopback port
        QTest::addColumn<QString>("cause");
        QTest::newRow("port 0") << "tcp://127.0.0.1:0" << "1 to 65535";
        QTest::newRow("unknown scheme") << "ssh://127.0.0.1:22" << "unknown kind";
        QTest::newRow("IPv6 without brackets") << "rfc2217://::1:4001" << "brackets";
        QTest::newRow("refused") << "tcp://127.0.0.1:FREE" << "the connection was refused";
        QTest::newRow("unresolvable") << "rfc2217://kestran-no-such-gateway.invalid:4001" << "the host name was not found";
        QTest::newRow("never answers") << "tcp://127.0.0.1:DEAD" << "no answer within 3 seconds";
    }
    void openFails()
    {
        QFETCH(QString, port);
        QFETCH(QString, cause);
        DeadListener dead;
        QVERIFY(dead.port != 0);
        port.replace(QLatin1String("DEAD"), QString::number(dead.port)).replace(QLatin1String("FREE"), QString::number(test::freeLoopbackPort()));
        win = std::make_unique<WindowOnLine<StampingSwitch>>();
        Form1 &f = win->form;
        QSignalSpy problems(&f, &Form1::problemReported);
        int ticks = 0, waiting = 0;
        QTimer tick;
        connect(&tick, &QTimer::timeout, this, [&] {
            ++ticks;
            waiting += f.bCONNECT->text() == QLatin1String("Wait");
        });
        tick.start(100);
        QVERIFY(!win->open(port));
        tick.stop();
        QCOMPARE(problems.count(), 1);
        const QString text = problems.at(0).at(0).toString();
        QVERIFY2(text.contains(cause) && text.contains(port.trimmed()), qPrintable(text));
        QCOMPARE(f.bCONNECT->text(), QStringLiteral("Open"));
        QVERIFY(f.cCom->isEnabled() && !f.bRead->isEnabled() && !win->comm.PortOpen());
        QVERIFY(nothingHalfOpen(win->comm));
        if (QTest::currentDataTag() == QLatin1String("never answers"))
            QVERIFY2(waiting >= 10, qPrintable(QStringLiteral("%1 ticks while waiting").arg(waiting)));
    }

    // A click on "Wait" calls the open off: no message, the window as before,
    // and ready for the next open.
    void clickOnWaitCancels()
    {
        DeadListener dead;
        QVERIFY(dead.port != 0);
        win = std::make_unique<WindowOnLine<StampingSwitch>>();
        Form1 &f = win->form;
        QSignalSpy problems(&f, &Form1::problemReported);
        bool clicked = false;
        QTimer::singleShot(200, this, [&] {
            clicked = f.bCONNECT->text() == QLatin1String("Wait");
            f.bCONNECT->click();
        });
        QVERIFY(!win->open(QStringLiteral("tcp://127.0.0.1:%1").arg(dead.port)));
        QVERIFY(clicked);
        QCOMPARE(win->comm.fault(), SerialFault::Cancelled);
        QTest::qWait(50);
        QCOMPARE(problems.count(), 0);
        QCOMPARE(f.bCONNECT->text(), QStringLiteral("Open"));
        QCOMPARE(f.LEDCommunication->FillColor(), kButtonFace);
        QVERIFY(f.cCom->isEnabled() && !f.bSETUP->isEnabled() && !f.bRead->isEnabled());
        for (int i = 0; i < 7; ++i)
            QVERIFY(f.checkBoxes()[i]->Value() == 2 && !f.settingFields()[i]->isEnabled());
        QVERIFY(nothingHalfOpen(win->comm));
        // The same window then opens a local line (its control picks MSComm for a path).
        QVERIFY(win->startLine());
        QVERIFY(win->open());
        QTRY_COMPARE(misshownInitial(f, 0), QString());
    }
};

QTEST_MAIN(TestGateway)
#include "tst_gateway.moc"
