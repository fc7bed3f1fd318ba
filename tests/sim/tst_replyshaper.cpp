// What both simulated lines send through: when queued bytes are due, as one
// write or in pieces, and what is put back after a short write; and the TCP
// line, which now shapes its replies the same way.
#include "replyshaper.h"
#include "tcpcounterline.h"
#include "waituntil.h"

#include <QTcpSocket>
#include <QtTest>

using namespace kestran::sim;

Q_DECLARE_METATYPE(LineOptions)

class TestReplyShaper : public QObject {
    Q_OBJECT
private slots:
    void takesWhatIsDue_data();
    void takesWhatIsDue();
    void shortWritePutBack();
    void commandsTakeTheirWireTime();
    void tcpLinePacesItsReplies();
};

void TestReplyShaper::takesWhatIsDue_data()
{
    QTest::addColumn<LineOptions>("options");
    QTest::addColumn<QList<qint64>>("at");          // the times looked at, in byte times after queueing
    QTest::addColumn<QStringList>("taken");         // what each look took, one write each
    LineOptions paced;
    paced.pace = true;
    QTest::newRow("paced: a byte per byte time")
        << paced << QList<qint64>{0, 1, 1, 3} << QStringList{"", "*", "", "0C"};
    QTest::newRow("paced: a late look takes all that is due, across queued runs")
        << paced << QList<qint64>{20} << QStringList{"*0C:0=+0000001\r*0C:1"};
    QTest::newRow("unpaced: each queued run in one write")
        << LineOptions{} << QList<qint64>{0, 0, 0} << QStringList{"*0C:0=+0000001\r", "*0C:1=+0000002\r", ""};
}

void TestReplyShaper::takesWhatIsDue()
{
    QFETCH(LineOptions, options);
    QFETCH(QList<qint64>, at);
    QFETCH(QStringList, taken);
    ReplyShaper shaper(options);
    const qint64 t0 = 1000000000;
    shaper.enqueue("*0C:0=+0000001\r", t0);
    shaper.enqueue("*0C:1=+0000002\r", t0);
    QStringList got;
    for (qint64 bytes : at) {
        const qint64 now = t0 + bytes * ReplyShaper::kByteNs;
        got << QString::fromLatin1(shaper.isEmpty() || shaper.nextDue() > now ? QByteArray() : shaper.takeDue(now));
    }
    QCOMPARE(got, taken);
}

// What a writer could not write goes first, at once, before anything queued after it.
void TestReplyShaper::shortWritePutBack()
{
    ReplyShaper shaper(LineOptions{});
    shaper.enqueue("abcdef", 0);
    shaper.enqueue("gh", 0);
    const QByteArray first = shaper.takeDue(0);
    shaper.putBack(first.mid(2));
    QCOMPARE(shaper.nextDue(), qint64(0));
    const QByteArray again = shaper.takeDue(0);
    QCOMPARE(again + shaper.takeDue(0), QByteArray("cdefgh"));
    QVERIFY(shaper.isEmpty());
}

// With paceCommands the counters hear a command once its bytes have crossed
// the line, and a second command only after the first.
void TestReplyShaper::commandsTakeTheirWireTime()
{
    LineOptions o;
    o.pace = true;
    o.paceCommands = true;
    ReplyShaper shaper(o);
    QCOMPARE(shaper.heard(0, 8), 8 * ReplyShaper::kByteNs);
    QCOMPARE(shaper.heard(0, 8), 16 * ReplyShaper::kByteNs);
    ReplyShaper unpaced(LineOptions{});
    QCOMPARE(unpaced.heard(5, 8), qint64(5));
}

// The network line answers a read-all with the device's eight replies, and
// with fault injection from the same options as the pty line.
void TestReplyShaper::tcpLinePacesItsReplies()
{
    LineOptions o;
    o.pace = true;
    o.drop = 1.0;   // every reply dropped but none of the others
    for (const bool dropAll : {false, true}) {
        TcpCounterLine line(nullptr, dropAll ? o : TcpCounterLine::paced());
        QString why;
        QVERIFY2(line.start(&why), qPrintable(why));
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, quint16(line.url().section(QLatin1Char(':'), -1).toUInt()));
        QVERIFY(s.waitForConnected(3000));
        QByteArray got;
        connect(&s, &QTcpSocket::readyRead, this, [&] { got += s.readAll(); });
        s.write("*3R:?=?\r");
        if (dropAll) {
            waitUntil([] { return false; }, 150);
            QCOMPARE(got, QByteArray());
        } else {
            QVERIFY(waitUntil([&] { return got.size() >= 8 * 15; }, 3000));
            QCOMPARE(got.left(15), QByteArray("*3C:0=+0004000\r"));
            QCOMPARE(got.count('\r'), 8);
        }
    }
}

QTEST_GUILESS_MAIN(TestReplyShaper)
#include "tst_replyshaper.moc"
