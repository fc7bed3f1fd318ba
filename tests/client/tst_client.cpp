// The timed request/answer client over a pseudo-terminal with the simulated
// counters on the far side; the line monitor's frame splitter; the line trace.
#include "counterclient.h"
#include "framesplitter.h"
#include "frames.h"
#include "lineopen.h"
#include "linetrace.h"
#include "mdlcomport.h"
#include "ptycounterline.h"
#include "replygather.h"
#include "waituntil.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace kestran;
using sim::LineOptions;
using sim::PtyCounterLine;

Q_DECLARE_METATYPE(LineOptions)

namespace {
int countOf(const QByteArray &haystack, const QByteArray &needle)
{
    return int(haystack.count(needle));
}
} // namespace

class TestClient : public QObject {
    Q_OBJECT

    std::unique_ptr<PtyCounterLine> line;
    OpenedLine opened;

    // A fresh line and the client's port open on it.
    bool start(const LineOptions &options = {}, const QString &port = QString())
    {
        line = std::make_unique<PtyCounterLine>(options);
        if (!line->start())
            return false;
        opened = openLine(port.isEmpty() ? line->slavePath() : port);
        return opened.control != nullptr;
    }
    QVector<QByteArray> deviceValues(int device)
    {
        QVector<QByteArray> v;
        for (int i = 0; i < 8; ++i)
            v << line->value(device, i);
        return v;
    }
    static QVector<QByteArray> resultValues(const ReadResult &r)
    {
        QVector<QByteArray> v;
        for (int i = 0; i < 8; ++i)
            v << r.values.value(char('0' + i)).toLatin1();
        return v;
    }

private slots:
    void cleanup()
    {
        opened = {};
        line.reset();
    }

    // Whatever the line does to the replies, the values come in whole and as sent.
    void readsWhole_data()
    {
        QTest::addColumn<LineOptions>("options");
        QTest::addColumn<int>("retries");
        LineOptions o;
        QTest::newRow("clean") << o << 0;
        o.noise = 1.0;
        o.split = true;
        o.seed = 3;
        QTest::newRow("noise and split") << o << 0;
        o.noiseMayContainStar = true;
        QTest::newRow("noise with stars") << o << 0;
        o = {};
        o.pace = true;
        QTest::newRow("a byte at a time, at wire speed") << o << 0;
        o.noise = 0.5;
        o.corrupt = 0.2;
        o.seed = 7;
        QTest::newRow("at wire speed, with noise and damage") << o << 10;
        o = {};
        o.drop = 0.3;
        o.seed = 5;
        QTest::newRow("dropped replies asked again") << o << 10;
    }
    void readsWhole()
    {
        QFETCH(LineOptions, options);
        QFETCH(int, retries);
        QVERIFY(start(options));
        CounterClient client(opened.control.get());
        const ReadResult r = client.read(6, {400, retries, 50});
        QVERIFY(r.complete());
        QCOMPARE(resultValues(r), deviceValues(6));
        if (options.drop > 0)
            QVERIFY(r.attempts > 1 && line->stats().dropped > 0);
    }

    // On a line that can hold bytes back, an answer at wire speed reaches the
    // reader in one piece, or in two when the device is slow to begin: not a
    // piece per look. The values are the same either way.
    void wholeAnswerInFewPieces_data()
    {
        QTest::addColumn<int>("replyDelayMs");
        QTest::addColumn<int>("atMost");
        QTest::newRow("answering at once") << 0 << 2;
        QTest::newRow("slow to begin") << 30 << 3;
    }
    void wholeAnswerInFewPieces()
    {
#ifndef Q_OS_LINUX
        QSKIP("only this system's serial driver holds bytes back");
#endif
        QFETCH(int, replyDelayMs);
        QFETCH(int, atMost);
        LineOptions o;
        o.pace = true;
        o.replyDelayMs = replyDelayMs;
        QVERIFY(start(o));
        CounterClient client(opened.control.get());
        int pieces = 0;
        client.setReceiveTap([&](const QByteArray &) { ++pieces; });
        for (int device : {2, 6}) {
            pieces = 0;
            const ReadResult r = client.read(device, {400, 0, 50});
            QVERIFY(r.complete());
            QCOMPARE(resultValues(r), deviceValues(device));
            QVERIFY2(pieces <= atMost, qPrintable(QStringLiteral("%1 pieces").arg(pieces)));
        }
    }

    // Replies as the line hands them over, in pieces some time apart: the
    // reader takes what has come each time it looks, and nothing it was given
    // is lost or held back, a frame cut between two reads and bytes that end
    // without a carriage return included.
    void takesWhatHasCome_data()
    {
        QTest::addColumn<QList<QByteArray>>("pieces");   // sent 15 ms apart
        QTest::addColumn<QString>("indices");            // the values that count
        const auto reply = [](char index) {
            return replyFrame(QLatin1Char('5'), QLatin1Char(index), QStringLiteral("+000000%1").arg(index).toLatin1());
        };
        QByteArray all;
        for (char i = '0'; i <= '7'; ++i)
            all += reply(i);
        QTest::newRow("all at once") << QList<QByteArray>{all} << QStringLiteral("01234567");
        QTest::newRow("a frame cut between reads")
            << QList<QByteArray>{all.left(20), all.mid(20, 1), all.mid(21, 60), all.mid(81)} << QStringLiteral("01234567");
        QTest::newRow("cut just before the carriage return")
            << QList<QByteArray>{all.left(14), all.mid(14, 29), all.mid(43)} << QStringLiteral("01234567");
        QTest::newRow("the last reply ends without a carriage return")
            << QList<QByteArray>{all.left(7 * 15), all.mid(7 * 15, 14)} << QStringLiteral("0123456");
        QTest::newRow("noise between frames, then a cut frame")
            << QList<QByteArray>{reply('0') + "\x01\x02", reply('1') + "*5C", ":2=+00", "00002\r" + reply('3')}
            << QStringLiteral("0123");
    }
    void takesWhatHasCome()
    {
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QString, indices);
        LineOptions o;
        o.devices = {1};   // device 5 is silent: the test plays it
        QVERIFY(start(o));
        CounterClient client(opened.control.get());
        QByteArray tapped;
        client.setReceiveTap([&](const QByteArray &b) { tapped += b; });
        for (int i = 0; i < pieces.size(); ++i)
            QTimer::singleShot(30 + 15 * i, [this, piece = pieces[i]] { line->send(piece); });
        const ReadResult r = client.read(5, {1000, 0, 60});
        QString got;
        for (auto it = r.values.cbegin(); it != r.values.cend(); ++it) {
            got += QLatin1Char(it.key());
            QCOMPARE(*it, QStringLiteral("+000000%1").arg(QLatin1Char(it.key())));
        }
        QCOMPARE(got, indices);
        QCOMPARE(r.attempts, 1);
        // Everything that came was handed over, the unfinished frame included.
        QVERIFY(waitUntil([&] { return tapped.size() == pieces.join().size(); }, 1000));
        QCOMPARE(tapped, pieces.join());
    }

    // Between two looks at the line the reader waits no longer than the
    // rule allows (a reply seen at most 2 ms after its last byte), and inside
    // a frame no longer than until its carriage return can be there.
    void gatherStaysWithinTheRule()
    {
        for (int chars = 0; chars <= 20; ++chars) {
            const qint64 d = ReplyGather::delayNs(chars);
            QVERIFY2(d >= 0 && d <= 2000000, qPrintable(QString::number(chars)));
            if (chars >= 1 && chars < ReplyGather::kFrameLength)
                QVERIFY2(d <= (ReplyGather::kFrameLength - chars) * ReplyGather::kByteNs, qPrintable(QString::number(chars)));
        }
#ifndef Q_OS_WIN
        // A frame begun or not, it does wait: looking at every byte is what it saves.
        QVERIFY(ReplyGather::delayNs(0) > ReplyGather::kByteNs && ReplyGather::delayNs(1) > ReplyGather::kByteNs);
#endif
    }

    // A device that never answers is asked 1 + retries times, each command
    // only after the time-out of the one before; nothing else goes out.
    void silentDeviceAskedAgainAfterTimeout()
    {
        LineOptions o;
        o.devices = {1};
        QVERIFY(start(o));
        CounterClient client(opened.control.get());
        const ReadResult r = client.read(4, {80, 2, 50});
        QVERIFY(r.values.isEmpty());
        QCOMPARE(r.attempts, 3);
        QCOMPARE(r.missing().size(), 8);
        const QVector<sim::Arrival> a = line->arrivals();
        QCOMPARE(line->received(), readAllFrame(QLatin1Char('4')).repeated(3));
        QVERIFY(a[8].ns - a[0].ns >= 75000000 && a[16].ns - a[8].ns >= 75000000);
    }

    // Writes go out in the Setup order whatever order they were given in, a
    // pause apart, followed by one read-all; the values read back match.
    void writesInSetupOrderThenReadBack()
    {
        QVERIFY(start());
        CounterClient client(opened.control.get());
        QVector<ClientProgress> said;
        client.setProgress([&](const ClientProgress &p) { said << p; });
        const WriteReport w = client.write(2, {{'7', "+0000005"}, {'0', "-0000042"}, {'4', "+0000009"}});
        QCOMPARE(w.sent, 3);
        QVERIFY(w.mismatches.isEmpty() && w.unverified.isEmpty() && !w.ending.lost);
        const QByteArray expected = writeFrame(QLatin1Char('2'), QLatin1Char('0'), "-0000042")
            + writeFrame(QLatin1Char('2'), QLatin1Char('4'), "+0000009")
            + writeFrame(QLatin1Char('2'), QLatin1Char('7'), "+0000005") + readAllFrame(QLatin1Char('2'));
        QCOMPARE(line->received(), expected);
        const QVector<sim::Arrival> a = line->arrivals();
        for (int frame = 1; frame <= 3; ++frame)
            QVERIFY2(a[frame * 15].ns - a[(frame - 1) * 15].ns >= 240000000, "a write came before the pause was over");
        QCOMPARE(line->value(2, 0), QByteArray("-0000042"));
        QCOMPARE(said.size(), 3);
        QVERIFY(said.last().kind == ClientProgress::Sent && said.last().device == 2 && said.last().done == 3
                && said.last().total == 3);
    }

    // The counter keeps another value than the one written: the read-back says so.
    void storedValueDiffers()
    {
        QVERIFY(start());
        CounterClient client(opened.control.get());
        QTimer spoil;
        connect(&spoil, &QTimer::timeout, [&] {
            if (line->received().contains("*1W:3="))
                line->withLine([](sim::CounterLine &l) { l.setValue(1, 3, "+0000666"); });
        });
        spoil.start(1);
        const WriteReport w = client.write(1, {{'3', "+0000030"}, {'5', "+0000011"}});
        QCOMPARE(w.mismatches.size(), 1);
        QCOMPARE(w.mismatches[0].index, '3');
        QCOMPARE(w.mismatches[0].sent, QStringLiteral("+0000030"));
        QCOMPARE(w.mismatches[0].read, QStringLiteral("+0000666"));
    }

    // The far end vanishes during the pause after the second write: the
    // sequence stops at once and nothing more is handed to the line.
    void lineLostMidWrite()
    {
        QVERIFY(start());
        QTemporaryDir dir;
        LineTrace trace;
        QVERIFY(trace.open(dir.filePath(QStringLiteral("t.txt")), nullptr));
        TracingControl traced(opened.control.get(), &trace);
        CounterClient client(&traced);
        QTimer cut;
        connect(&cut, &QTimer::timeout, [&] {
            if (line->isRunning() && countOf(line->received(), "W:") == 2)
                line->kill();
        });
        cut.start(1);
        const WriteReport w = client.write(0, {{'0', "+0000001"}, {'1', "+0000002"}, {'3', "+0000003"}, {'7', "+0000004"}});
        QVERIFY(w.ending.lost && client.lineLost());
        QCOMPARE(w.sent, 2);
        trace.flush();
        QFile f(dir.filePath(QStringLiteral("t.txt")));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray text = f.readAll();
        QCOMPARE(countOf(text, "  TX  "), 2);
        QVERIFY(text.contains("line lost"));
        // Later requests send nothing either.
        QVERIFY(client.read(0, {50, 0, 50}).ending.lost);
    }

    // "COMn" goes through the port table to its device.
    void comNumberThroughPortTable()
    {
        line = std::make_unique<PtyCounterLine>();
        QVERIFY(line->start());
        QTemporaryDir root;
        QVERIFY(QDir(root.path()).mkpath(QStringLiteral("sys/ttyUSB0/device/driver")));
        QVERIFY(QDir(root.path()).mkpath(QStringLiteral("dev")));
        QVERIFY(QDir(root.path()).mkpath(QStringLiteral("lock")));
        QVERIFY(QFile::link(line->slavePath(), root.filePath(QStringLiteral("dev/ttyUSB0"))));
        PortTable table(root.filePath(QStringLiteral("sys")), root.filePath(QStringLiteral("dev")),
                        root.filePath(QStringLiteral("lock")));
        QCOMPARE(table.count(), 1);
        OpenedLine missing = openLine(QStringLiteral("COM2"), &table);
        QVERIFY(!missing.control);
        QVERIFY2(missing.problem.contains(QStringLiteral("no serial port with that number")), qPrintable(missing.problem));
        opened = openLine(QStringLiteral("com1"), &table);
        QVERIFY2(opened.control, qPrintable(opened.problem));
        CounterClient client(opened.control.get());
        QVERIFY(client.read(3, {400, 0, 50}).complete());
    }

    void monitorFrames_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("frames");   // kind:device:index:value, or other:hex
        QTest::newRow("reply") << replyFrame(QLatin1Char('3'), QLatin1Char('0'), "+0004000")
                               << QStringList{"reply:3:0:+0004000"};
        QTest::newRow("commands of another master")
            << readAllFrame(QLatin1Char('5')) + writeFrame(QLatin1Char('5'), QLatin1Char('7'), "+0000002")
            << QStringList{"read-all:5", "write:5:7:+0000002"};
        QTest::newRow("noise before a reply")
            << QByteArray("\x01\xff") + replyFrame(QLatin1Char('0'), QLatin1Char('2'), "-0000001")
            << QStringList{"other:01 ff", "reply:0:2:-0000001"};
        QTest::newRow("cut frame then reply")
            << QByteArray("*3C:0=+00") + replyFrame(QLatin1Char('3'), QLatin1Char('1'), "+0000001")
            << QStringList{"other:2a 33 43 3a 30 3d 2b 30 30", "reply:3:1:+0000001"};
        QTest::newRow("reply of index 8 and device 9")
            << QByteArray("*3C:8=+0000001\r*9C:0=+0000001\r")
            << QStringList{"other:2a 33 43 3a 38 3d 2b 30 30 30 30 30 30 31 0d",
                           "other:2a 39 43 3a 30 3d 2b 30 30 30 30 30 30 31 0d"};
        QTest::newRow("runaway frame")
            << QByteArray("*") + QByteArray(40, 'x')
            << QStringList{"other:2a" + QString(" 78").repeated(31), "other:" + QString("78 ").repeated(9).trimmed()};
    }
    void monitorFrames()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, frames);
        // Whole and byte by byte give the same frames.
        for (const bool oneByOne : {false, true}) {
            FrameSplitter splitter;
            QVector<LineFrame> got;
            if (oneByOne) {
                for (const char c : bytes)
                    got += splitter.feed(QByteArray(1, c));
            } else {
                got = splitter.feed(bytes);
            }
            got += splitter.flushAll();
            QStringList seen;
            for (const LineFrame &f : got) {
                switch (f.kind) {
                case LineFrame::Reply:
                    seen << QStringLiteral("reply:%1:%2:%3").arg(f.device).arg(QLatin1Char(f.index)).arg(f.value);
                    break;
                case LineFrame::ReadAll:
                    seen << QStringLiteral("read-all:%1").arg(f.device);
                    break;
                case LineFrame::Write:
                    seen << QStringLiteral("write:%1:%2:%3").arg(f.device).arg(QLatin1Char(f.index)).arg(f.value);
                    break;
                case LineFrame::Other:
                    seen << QStringLiteral("other:") + QString::fromLatin1(f.bytes.toHex(' '));
                    break;
                }
            }
            QCOMPARE(seen, frames);
        }
    }

    // One line per burst: pieces sent back to back are one line, a change of
    // direction starts a new one; every line carries hex and printable text.
    void traceBursts()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("trace.txt"));
        {
            LineTrace trace;
            QVERIFY(trace.open(path, nullptr));
            trace.record(LineTrace::Sent, "*0R");
            trace.record(LineTrace::Sent, ":?=?\r");
            trace.record(LineTrace::Received, "*0C:0=");
            trace.record(LineTrace::Received, "+0001000\r");
            QTest::qWait(LineTrace::kBurstGapMs * 10);
            trace.record(LineTrace::Received, QByteArray(LineTrace::kMaxBurst + 1, 'n'));
        }
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QList<QByteArray> lines = f.readAll().split('\n');
        lines.removeAll(QByteArray());
        QCOMPARE(lines.size(), 5);   // head line, TX, RX, a full burst and its last byte
        QVERIFY(lines[1].endsWith("  TX  2a 30 52 3a 3f 3d 3f 0d  |*0R:?=?.|"));
        QVERIFY(lines[2].endsWith("RX  2a 30 43 3a 30 3d 2b 30 30 30 31 30 30 30 0d  |*0C:0=+0001000.|"));
        QVERIFY(lines[4].endsWith("RX  6e  |n|"));
        LineTrace refused;
        QString why;
        QVERIFY(!refused.open(dir.path(), &why));
        QVERIFY(why.contains(dir.path()));
    }
};

QTEST_GUILESS_MAIN(TestClient)
#include "tst_client.moc"
