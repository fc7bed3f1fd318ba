// The line server's faults, in process: junk and floods, silent clients,
// writers not allowed, a line pulled or behind a gateway of its own, too
// many clients. No other client is disturbed.
#include "gatewaytexts.h"
#include "linedfixture.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

using namespace kestran;
using namespace kestran::lined;
using namespace kestran::test;

class TestLinedFaults : public QObject, LinedFixture {
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

    // Bytes that make no command are dropped and counted; the client goes
    // on, and a client beside it is not disturbed.
    void junk_data()
    {
        QTest::addColumn<QByteArray>("junk");
        QTest::newRow("text") << QByteArray("hello\r\n");
        QTest::newRow("unknown letter") << QByteArray("*0X:?=?\r");
        QTest::newRow("reply from a client") << QByteArray("*0C:1=+0000001\r");
        QTest::newRow("read-all cut short") << QByteArray("*0R:?=\r");
        QTest::newRow("device 9") << QByteArray("*9R:?=?\r");
        QTest::newRow("write too short") << QByteArray("*0W:3=+00001\r");
        QTest::newRow("binary") << QByteArray("\x00\xff\x1b[2J\x03\x04", 8);
    }
    void junk()
    {
        QFETCH(QByteArray, junk);
        QVERIFY(serve());
        RawClient noisy, other;
        QVERIFY(noisy.connectTo(port()));
        QVERIFY(other.connectTo(port()));
        other.send(readAll(6));
        noisy.send(junk + readAll(2));
        QVERIFY(noisy.waitFor(8 * 15));
        QVERIFY(other.waitFor(8 * 15));
        QTest::qWait(30);
        QCOMPARE(framesOf(noisy.got).size(), 8);
        QCOMPARE(framesOf(other.got).size(), 8);
        const QByteArray line = m_sim->received();
        QCOMPARE(line.size(), 16);
        QVERIFY(line.contains(readAll(6)) && line.contains(readAll(2)));
        QVERIFY(m_server->stats().clientJunk > 0);
        QCOMPARE(noisy.socket.state(), QAbstractSocket::ConnectedState);
        QCOMPARE(m_sim->withLine([](sim::CounterLine &l) { return l.writeCount(0); }), 0);
    }

    // A flood of junk closes its sender, holds no memory and leaves a
    // polling client its whole answers.
    void junkFlood()
    {
        QVERIFY(serve());
        RawClient flood, poller;
        QVERIFY(flood.connectTo(port()));
        QVERIFY(poller.connectTo(port()));
        QByteArray chunk(64 * 1024, 'x');
        for (int i = 0; i < chunk.size(); i += 97)
            chunk[i] = '*';          // frame starts too, never a command
        int polls = 0;
        qint64 sent = 0;
        while (sent < 8 * 1024 * 1024 && flood.socket.state() == QAbstractSocket::ConnectedState) {
            flood.socket.write(chunk);
            sent += chunk.size();
            if (polls * 8 * 15 == poller.got.size() && polls < 10)
                poller.send(readAll(polls++ % 8));
            QTest::qWait(1);
        }
        QVERIFY(flood.waitClosed(5000));
        QVERIFY(waitUntil([&] { return poller.got.size() >= polls * 8 * 15; }, 5000));
        QCOMPARE(framesOf(poller.got).size(), polls * 8);
        QCOMPARE(m_server->stats().junkClosed, 1);
        QCOMPARE(m_sim->withLine([](sim::CounterLine &l) { return l.rejectedCount(); }), 0);
    }

    // A silent client is closed after the idle time; one that keeps asking is not.
    void silentClientClosed()
    {
        LineConfig config;
        config.idleTimeoutMs = 300;
        QVERIFY(serve({}, config));
        RawClient silent, busy;
        QVERIFY(silent.connectTo(port()));
        QVERIFY(busy.connectTo(port()));
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < 8; ++i) {
            busy.send(readAll(0));
            QTest::qWait(100);
        }
        QVERIFY(silent.waitClosed(2000));
        QVERIFY(t.elapsed() >= 290);
        QCOMPARE(busy.socket.state(), QAbstractSocket::ConnectedState);
        QCOMPARE(m_server->stats().idleClosed, 1);
        QVERIFY(silent.got.isEmpty());
    }

    // A client that may not write: its first write never reaches the line,
    // it hears the refusal and is closed; what it read before was served.
    void writerNotAllowed()
    {
        LineConfig config;
        config.writers = QStringList{QStringLiteral("setup-pc")};
        QVERIFY(serve({}, config));
        RawClient c;
        QVERIFY(c.connectTo(port()));
        c.send(readAll(0));
        QVERIFY(c.waitFor(8 * 15));
        c.got.clear();
        c.send(write(0, '0', "+0000001") + readAll(0));
        QVERIFY(c.waitClosed());
        QCOMPARE(c.got, QByteArray(kLinedWriteRefused));
        QCOMPARE(linedTextOf(c.got), LinedText::WriteRefused);
        QCOMPARE(m_sim->received(), readAll(0));
        QCOMPARE(m_server->stats().writeRefusals, 1);

        // kestran-ctl is refused too, says so, and nothing is written.
        QProcess ctl;
        ctl.start(program("src/kestran-ctl"), {QStringLiteral("write"), QStringLiteral("--port"),
                                              QStringLiteral("tcp://127.0.0.1:%1").arg(port()), QStringLiteral("-d"),
                                              QStringLiteral("1"), QStringLiteral("TARGET=5")});
        QVERIFY(waitUntil([&] { return ctl.state() == QProcess::NotRunning; }, 10000));
        const QByteArray err = ctl.readAllStandardError();
        QCOMPARE(ctl.exitCode(), 3);
        QVERIFY2(err.contains("not allowed to write") && err.contains("nothing written"), err.constData());
        QCOMPARE(m_sim->value(1, 0), sim::CounterLine::initialValue(1, 0));
        QCOMPARE(m_sim->withLine([](sim::CounterLine &l) { return l.writeCount(1); }), 0);
    }

    // The line pulled: the client with a read on it is closed, new clients
    // hear that the line is down; the line comes back by itself.
    void linePulledAndBack()
    {
        LineOptions o;
        o.replyDelayMs = 300;
        QVERIFY(serve(o, {}, true));
        RawClient reading, idle;
        QVERIFY(reading.connectTo(port()));
        QVERIFY(idle.connectTo(port()));
        reading.send(readAll(0));
        QVERIFY(waitUntil([&] { return m_sim->received().size() >= 8; }, 2000));
        m_sim->kill();
        QVERIFY(reading.waitClosed(3000));
        QVERIFY(reading.got.isEmpty());
        QCOMPARE(m_server->lineState(), LineServer::LineState::Down);
        QCOMPARE(idle.socket.state(), QAbstractSocket::ConnectedState);

        RawClient late;
        QVERIFY(late.connectTo(port()));
        QVERIFY(late.waitClosed());
        QCOMPARE(late.got, QByteArray(kLinedLineDown));
        // kestran-ctl hears it at its open and says the port cannot be used now.
        QProcess ctl;
        ctl.start(program("src/kestran-ctl"), {QStringLiteral("read"), QStringLiteral("--port"),
                                              QStringLiteral("tcp://127.0.0.1:%1").arg(port()), QStringLiteral("-d"),
                                              QStringLiteral("0")});
        QVERIFY(waitUntil([&] { return ctl.state() == QProcess::NotRunning; }, 10000));
        const QByteArray err = ctl.readAllStandardError();
        QCOMPARE(ctl.exitCode(), 3);
        QVERIFY2(err.contains("the line server's line is down"), err.constData());

        QVERIFY(m_sim->restart());
        QVERIFY(waitUntil([&] { return m_server->lineState() == LineServer::LineState::Idle; }, 5000));
        RawClient back;
        QVERIFY(back.connectTo(port()));
        back.send(readAll(4));
        QVERIFY(back.waitFor(8 * 15, 3000));
        idle.send(readAll(5));
        QVERIFY(idle.waitFor(8 * 15, 3000));
        QCOMPARE(m_server->stats().losses, 1);
        QCOMPARE(m_server->stats().reopened, 1);
    }

    // A flood of connections: beyond the line's number of clients each is
    // told so and closed; those served go on.
    void tooManyClients()
    {
        LineConfig config;
        config.maxClients = 2;
        QVERIFY(serve({}, config));
        RawClient a, b;
        QVERIFY(a.connectTo(port()));
        QVERIFY(b.connectTo(port()));
        QVERIFY(waitUntil([&] { return m_server->stats().clients == 2; }, 2000));
        std::vector<std::unique_ptr<RawClient>> flood;
        for (int i = 0; i < 20; ++i) {
            flood.push_back(std::make_unique<RawClient>());
            QVERIFY(flood.back()->connectTo(port()));
            flood.back()->send(readAll(0));
        }
        for (auto &f : flood) {
            QVERIFY(f->waitClosed());
            QCOMPARE(f->got, QByteArray(kLinedTooMany));
        }
        a.send(readAll(1));
        QVERIFY(a.waitFor(8 * 15));
        QCOMPARE(m_server->stats().fullRefusals, 20);
        QCOMPARE(m_sim->received(), readAll(1));
    }

    // A line behind a gateway is shared the same way: here the gateway is
    // another line server, so the line's own open waits on the network.
    void lineBehindAGateway()
    {
        QVERIFY(serve());
        LineConfig config;
        config.port = QStringLiteral("tcp://127.0.0.1:%1").arg(port());
        QString why;
        QVERIFY(parseListenAddress(QStringLiteral("tcp://127.0.0.1:0"), &config.listen, &why));
        LineServer outer(config, ServerTls());
        QVERIFY(outer.start(&why));
        QVERIFY(waitUntil([&] { return outer.lineState() == LineServer::LineState::Idle; }, 5000));
        RawClient a, b;
        QVERIFY(a.connectTo(outer.listenPort()));
        QVERIFY(b.connectTo(outer.listenPort()));
        a.send(readAll(2));
        b.send(readAll(3));
        QVERIFY(a.waitFor(8 * 15));
        QVERIFY(b.waitFor(8 * 15));
        for (const QByteArray &f : framesOf(a.got))
            QCOMPARE(f.left(2), QByteArray("*2"));
        for (const QByteArray &f : framesOf(b.got))
            QCOMPARE(f.left(2), QByteArray("*3"));

        // The gateway goes away: the outer line is lost, and comes back with it.
        const quint16 inner = port();
        m_server.reset();
        QVERIFY(waitUntil([&] { return outer.lineState() != LineServer::LineState::Idle; }, 3000));
        config = LineConfig();
        config.port = m_sim->slavePath();
        QVERIFY(parseListenAddress(QStringLiteral("tcp://127.0.0.1:%1").arg(inner), &config.listen, &why));
        m_server = std::make_unique<LineServer>(config, ServerTls());
        QVERIFY(m_server->start(&why));
        QVERIFY(waitUntil([&] { return outer.lineState() == LineServer::LineState::Idle; }, 10000));
        RawClient c;
        QVERIFY(c.connectTo(outer.listenPort()));
        c.send(readAll(4));
        QVERIFY(c.waitFor(8 * 15));
        QCOMPARE(outer.stats().losses, 1);
    }

};

QTEST_GUILESS_MAIN(TestLinedFaults)
#include "tst_linedfaults.moc"
