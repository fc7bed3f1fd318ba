// The line server in process, with simulated counters on a real pseudo-terminal
// at the far end and real TCP clients: raw sockets that play a client byte by
// byte, kestran-ctl and a Python script with pyserial.
#include "gatewaytexts.h"
#include "linedfixture.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

using namespace kestran;
using namespace kestran::lined;
using namespace kestran::test;

class TestLineServer : public QObject, LinedFixture {
    Q_OBJECT


private slots:
    void initTestCase()
    {
        setLogQuiet(qEnvironmentVariableIsEmpty("KESTRAN_LINED_LOG"));
    }
    void cleanup()
    {
        m_server.reset();
        m_sim.reset();
    }

    // kestran-ctl reads and writes through the server as through a gateway.
    void ctlReadAndWrite()
    {
        QVERIFY(serve());
        const QString url = QStringLiteral("tcp://127.0.0.1:%1").arg(port());
        QProcess ctl;
        ctl.start(program("src/kestran-ctl"), {QStringLiteral("read"), QStringLiteral("--port"), url,
                                              QStringLiteral("-d"), QStringLiteral("3"), QStringLiteral("--json")});
        QVERIFY(waitUntil([&] { return ctl.state() == QProcess::NotRunning; }, 10000));
        QCOMPARE(ctl.exitCode(), 0);
        QVERIFY2(ctl.readAllStandardOutput().contains("+0004000"), "TARGET of device 3");

        ctl.start(program("src/kestran-ctl"), {QStringLiteral("write"), QStringLiteral("--port"), url,
                                              QStringLiteral("-d"), QStringLiteral("3"), QStringLiteral("RESET=77"),
                                              QStringLiteral("ALARM=5")});
        QVERIFY(waitUntil([&] { return ctl.state() == QProcess::NotRunning; }, 10000));
        QCOMPARE(ctl.exitCode(), 0);
        QCOMPARE(m_sim->value(3, 3), QByteArray("+0000077"));
        QCOMPARE(m_sim->value(3, 7), QByteArray("+0000005"));
        // The two writes reached the counter at least the pause apart.
        QVector<qint64> writesAt;
        for (const auto &a : m_sim->arrivals())
            if (a.byte == 'W')
                writesAt << a.ns;
        QCOMPARE(writesAt.size(), 2);
        QVERIFY(writesAt[1] - writesAt[0] >= 250 * 1000000LL);
        QCOMPARE(m_server->stats().writes, 2);
    }

    // Clients reading different devices at once get their own device's
    // replies, all eight, and nothing else.
    void clientsGetOnlyTheirOwnReplies()
    {
        LineOptions o;
        o.split = true;   // replies in small pieces, so they cross client reads
        o.noise = 0.5;    // and noise before them, frame starts among it
        o.noiseMayContainStar = true;
        QVERIFY(serve(o));
        const int devices[] = {1, 5, 6};
        RawClient clients[3];
        for (auto &c : clients)
            QVERIFY(c.connectTo(port()));
        const int rounds = 10;
        for (int round = 0; round < rounds; ++round) {
            for (int i = 0; i < 3; ++i)
                clients[i].send(readAll(devices[i]));
            for (int i = 0; i < 3; ++i)
                QVERIFY(clients[i].waitFor((round + 1) * 8 * 15));
        }
        for (int i = 0; i < 3; ++i) {
            const QList<QByteArray> frames = framesOf(clients[i].got);
            QCOMPARE(frames.size(), rounds * 8);
            for (const QByteArray &f : frames) {
                QCOMPARE(f.size(), 15);
                QCOMPARE(f.left(3), "*" + QByteArray::number(devices[i]) + "C");
            }
        }
        QCOMPARE(m_server->stats().reads, 3 * rounds);
        QCOMPARE(m_server->stats().incompleteReads, 0);
        QVERIFY(m_server->stats().lineDropped > 0);

        // A reply nobody asked for, while the line is idle, goes to nobody.
        const qint64 dropped = m_server->stats().lineDropped;
        m_sim->send("*1C:0=+0000666\r");
        QVERIFY(waitUntil([&] { return m_server->stats().lineDropped >= dropped + 15; }, 2000));
        clients[0].got.clear();
        clients[0].send(readAll(1));
        QVERIFY(clients[0].waitFor(8 * 15));
        QTest::qWait(20);
        QVERIFY(!clients[0].got.contains("+0000666"));
    }

    // With the line busy, a queued write goes before reads queued ahead of
    // it; that device then hears nothing for the pause, while another
    // device is served during it.
    void writesFirstAndThePause()
    {
        LineOptions o;
        o.replyDelayMs = 150;   // the first read holds the line while the others queue
        QVERIFY(serve(o));
        RawClient a, b, c, d;
        for (RawClient *x : {&a, &b, &c, &d})
            QVERIFY(x->connectTo(port()));
        a.send(readAll(0));
        QVERIFY(waitUntil([&] { return m_sim->received().size() >= 8; }, 2000));
        b.send(readAll(2));            // queued first, for the device about to be written
        QTest::qWait(20);
        d.send(readAll(4));            // another device
        QTest::qWait(20);
        c.send(write(2, '3', "+0000042"));
        QVERIFY(a.waitFor(8 * 15));
        QVERIFY(b.waitFor(8 * 15, 5000));
        QVERIFY(d.waitFor(8 * 15, 5000));

        const QList<QByteArray> log = m_sim->withLine([](sim::CounterLine &l) { return l.commandLog(); });
        QCOMPARE(log, (QList<QByteArray>{readAll(0), write(2, '3', "+0000042"), readAll(4), readAll(2)}));
        QCOMPARE(m_sim->value(2, 3), QByteArray("+0000042"));
        // Device 2's read came the pause after the write's last byte.
        qint64 writeEnd = 0, read2 = 0;
        QByteArray seen;
        for (const auto &arr : m_sim->arrivals()) {
            seen += arr.byte;
            if (seen.endsWith(write(2, '3', "+0000042")))
                writeEnd = arr.ns;
            if (seen.endsWith(readAll(2)))
                read2 = arr.ns;
        }
        QVERIFY(writeEnd > 0 && read2 > 0);
        QVERIFY2(read2 - writeEnd >= 250 * 1000000LL, qPrintable(QString::number((read2 - writeEnd) / 1e6)));
        // Nothing of device 2 went to the client that read device 4, or back.
        for (const QByteArray &f : framesOf(d.got))
            QCOMPARE(f.left(2), QByteArray("*4"));
        for (const QByteArray &f : framesOf(b.got))
            QCOMPARE(f.left(2), QByteArray("*2"));
    }

    // A client that goes away in the middle of its read: the read ends on
    // the line, its replies go to nobody, the next client gets only its own.
    void vanishedClientMidRead()
    {
        LineOptions o;
        o.replyDelayMs = 100;
        o.pace = true;
        QVERIFY(serve(o));
        RawClient gone, next;
        QVERIFY(gone.connectTo(port()));
        QVERIFY(next.connectTo(port()));
        gone.send(readAll(0));
        QVERIFY(waitUntil([&] { return m_sim->received().size() >= 8; }, 2000));
        next.send(readAll(1));
        QTest::qWait(120);   // device 0 is answering now
        gone.send("*0W:3=+00");   // and half a write it never finishes
        QTest::qWait(10);
        gone.socket.abort();
        QVERIFY(next.waitFor(8 * 15, 5000));
        QTest::qWait(50);
        const QList<QByteArray> frames = framesOf(next.got);
        QCOMPARE(frames.size(), 8);
        for (const QByteArray &f : frames)
            QCOMPARE(f.left(3), QByteArray("*1C"));
        // Device 1 was asked only after device 0 had answered.
        const QList<QByteArray> log = m_sim->withLine([](sim::CounterLine &l) { return l.commandLog(); });
        QCOMPARE(log, (QList<QByteArray>{readAll(0), readAll(1)}));
        QVERIFY(m_server->stats().discarded > 0);
        QCOMPARE(m_server->stats().clients, 1);
        QVERIFY(!m_sim->received().contains('W'));
    }

    // A read ends when all eight replies have come; a device that does not
    // answer, or answers only in part, holds the line for the time-outs only.
    void readEnds_data()
    {
        QTest::addColumn<double>("drop");
        QTest::addColumn<int>("device");
        QTest::addColumn<int>("atLeastMs");
        QTest::addColumn<int>("atMostMs");
        QTest::addColumn<bool>("complete");
        QTest::newRow("all eight") << 0.0 << 0 << 0 << 250 << true;
        QTest::newRow("absent device: the whole wait") << 0.0 << 6 << 400 << 700 << false;
        QTest::newRow("replies lost: the quiet after the last") << 0.5 << 0 << 100 << 390 << false;
    }
    void readEnds()
    {
        QFETCH(double, drop);
        QFETCH(int, device);
        QFETCH(int, atLeastMs);
        QFETCH(int, atMostMs);
        QFETCH(bool, complete);
        LineOptions o;
        o.devices = {0};
        o.drop = drop;
        o.seed = 3;
        QVERIFY(serve(o));
        m_server->setReplyTimeouts(400, 100);
        RawClient a, b;
        QVERIFY(a.connectTo(port()));
        QVERIFY(b.connectTo(port()));
        QElapsedTimer t;
        t.start();
        a.send(readAll(device));
        b.send(readAll(0) + readAll(0));   // behind it
        QVERIFY(waitUntil([&] { return m_sim->received().size() >= 16; }, 3000));
        const qint64 ms = t.elapsed();
        QVERIFY2(ms >= atLeastMs && ms <= atMostMs, qPrintable(QString::number(ms)));
        QVERIFY(waitUntil([&] { return m_server->stats().reads >= 1; }, 100));
        QCOMPARE(m_server->stats().incompleteReads, complete ? 0 : 1);
    }

    // The read-only port gets a copy of every byte on the line, both ways;
    // what a monitor sends goes nowhere.
    void monitorGetsACopy()
    {
        LineConfig config;
        QString why;
        QVERIFY(parseListenAddress(QStringLiteral("tcp://127.0.0.1:0"), &config.monitor, &why));
        QVERIFY(serve({}, config));
        RawClient monitor, c;
        QVERIFY(monitor.connectTo(m_server->monitorPort()));
        QVERIFY(waitUntil([&] { return m_server->stats().monitors == 1; }, 2000));
        monitor.send(readAll(0) + write(0, '3', "+0000001"));
        QVERIFY(c.connectTo(port()));
        c.send(readAll(3));
        QVERIFY(c.waitFor(8 * 15));
        QVERIFY(monitor.waitFor(8 + 8 * 15));
        QTest::qWait(30);
        QCOMPARE(monitor.got, readAll(3) + c.got);
        QCOMPARE(m_sim->received(), readAll(3));
        QCOMPARE(m_server->stats().clients, 1);
    }

    // A third-party client: pyserial's raw TCP client.
    void pythonClient()
    {
        // The system's Python, where Debian's python3-serial goes.
        QString python = QStandardPaths::findExecutable(QStringLiteral("python3"), {QStringLiteral("/usr/bin")});
        if (python.isEmpty())
            python = QStandardPaths::findExecutable(QStringLiteral("python3"));
        if (python.isEmpty() || QProcess::execute(python, {QStringLiteral("-c"), QStringLiteral("import serial")}) != 0)
            QFAIL("python3 with pyserial (python3-serial) is not installed: the test command installs it");
        QVERIFY(serve());
        const QString script = QStringLiteral(
            "import serial, sys\n"
            "s = serial.serial_for_url('socket://127.0.0.1:%1', timeout=3)\n"
            "s.write(b'*7R:?=?\\r')\n"
            "got = b''\n"
            "while got.count(b'\\r') < 8:\n"
            "    b = s.read(1)\n"
            "    if not b: break\n"
            "    got += b\n"
            "sys.stdout.write(got.decode())\n").arg(port());
        QProcess py;
        py.start(python, {QStringLiteral("-c"), script});
        QVERIFY(waitUntil([&] { return py.state() == QProcess::NotRunning; }, 10000));
        QCOMPARE(py.exitCode(), 0);
        const QList<QByteArray> frames = framesOf(py.readAllStandardOutput());
        QCOMPARE(frames.size(), 8);
        QCOMPARE(frames.first(), QByteArray("*7C:0=+0008000\r"));
    }
};

QTEST_GUILESS_MAIN(TestLineServer)
#include "tst_lineserver.moc"
