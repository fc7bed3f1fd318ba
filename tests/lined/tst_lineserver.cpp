// The line server in process, with simulated counters on a real pseudo-terminal
// at the far end and real TCP clients: raw sockets that play a client byte by
// byte, kestran-ctl and a Python script with pyserial.
#include "gatewaytexts.h"
#include "linedlog.h"
#include "lineserver.h"
#include "ptycounterline.h"
#include "waituntil.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace kestran;
using namespace kestran::lined;
using kestran::sim::LineOptions;
using kestran::sim::PtyCounterLine;

namespace {

QString program(const char *relative)
{
    return qEnvironmentVariable("KESTRAN_BUILD_DIR") + QLatin1Char('/') + QLatin1String(relative);
}

QByteArray readAll(int device) { return "*" + QByteArray::number(device) + "R:?=?\r"; }
QByteArray write(int device, char index, const QByteArray &value)
{
    return "*" + QByteArray::number(device) + "W:" + index + "=" + value + "\r";
}

// Splits what a client received into frames ending in CR.
QList<QByteArray> framesOf(const QByteArray &bytes)
{
    QList<QByteArray> out;
    for (const QByteArray &piece : bytes.split('\r'))
        if (!piece.isEmpty())
            out << piece + '\r';
    return out;
}

// A client that talks to the server byte for byte.
class RawClient {
public:
    bool connectTo(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { got += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(3000);
    }
    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    bool waitFor(int bytes, int ms = 3000)
    {
        return waitUntil([&] { return got.size() >= bytes; }, ms);
    }
    bool waitClosed(int ms = 3000)
    {
        return waitUntil([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, ms);
    }
    QTcpSocket socket;
    QByteArray got;
};

} // namespace

class TestLineServer : public QObject {
    Q_OBJECT

    std::unique_ptr<PtyCounterLine> m_sim;
    std::unique_ptr<LineServer> m_server;
    QTemporaryDir m_dir;

    // A simulator and a server on it; `port` is the server's listen port.
    bool serve(const LineOptions &simOptions = {}, LineConfig config = {}, bool viaLink = false)
    {
        m_server.reset();
        m_sim = std::make_unique<PtyCounterLine>(simOptions);
        QString error;
        if (!m_sim->start(&error)) {
            qWarning() << error;
            return false;
        }
        config.port = m_sim->slavePath();
        if (viaLink) {
            const QString link = m_dir.filePath(QStringLiteral("line%1").arg(++m_links));
            if (!m_sim->setLink(link, &error)) {
                qWarning() << error;
                return false;
            }
            config.port = link;
        }
        QString why;
        if (!parseListenAddress(QStringLiteral("tcp://127.0.0.1:0"), &config.listen, &why))
            return false;
        m_server = std::make_unique<LineServer>(config, ServerTls());
        if (!m_server->start(&error)) {
            qWarning() << error;
            return false;
        }
        return waitUntil([&] { return m_server->lineState() == LineServer::LineState::Idle; }, 3000);
    }
    quint16 port() const { return m_server->listenPort(); }
    int m_links = 0;

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
            // (python3-serial from Debian)
            QSKIP("python3 with pyserial (python3-serial) is not installed");
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
