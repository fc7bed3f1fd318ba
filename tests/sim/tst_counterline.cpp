#include "counterline.h"

#include <QtTest>

using namespace kestran::sim;

// Device 3 as it starts: TARGET 4000, ACTUAL 1603, DIFFERENCE 2397, RESET 30,
// DEBOUNCE 53/63/73, ALARM 4.
static const QByteArray kDevice3 =
    "*3C:0=+0004000\r*3C:1=+0001603\r*3C:2=+0002397\r*3C:3=+0000030\r"
    "*3C:4=+0000053\r*3C:5=+0000063\r*3C:6=+0000073\r*3C:7=+0000004\r";

class TestCounterLine : public QObject {
    Q_OBJECT
private slots:
    void readAll_data();
    void readAll();
    void write_data();
    void write();
    void countsAndLog();
};

void TestCounterLine::readAll_data()
{
    QTest::addColumn<QVector<int>>("devices");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("replies");
    QTest::addColumn<int>("rejected");
    const QVector<int> all;
    QTest::newRow("one per index, in order") << all << QByteArray("*3R:?=?\r") << kDevice3 << 0;
    QTest::newRow("noise before the frame") << all << QByteArray("\x01zz\r9\r*3R:?=?\r") << kDevice3 << 0;
    QTest::newRow("star restarts a partial frame") << all << QByteArray("*3R:?*3R:?=?\r") << kDevice3 << 0;
    QTest::newRow("noise after star is a bad frame") << all << QByteArray("*3Rx:?=?\r*3R:?=?\r") << kDevice3 << 1;
    QTest::newRow("address not served") << QVector<int>{0, 1} << QByteArray("*3R:?=?\r") << QByteArray() << 0;
    QTest::newRow("served among others") << QVector<int>{3, 5} << QByteArray("*2R:?=?\r*3R:?=?\r") << kDevice3 << 0;
    QTest::newRow("address 8") << all << QByteArray("*8R:?=?\r") << QByteArray() << 1;
    QTest::newRow("lower-case letter") << all << QByteArray("*3r:?=?\r") << QByteArray() << 1;
    QTest::newRow("one character too many") << all << QByteArray("*3R:?=??\r") << QByteArray() << 1;
    QTest::newRow("a reply is no command") << all << QByteArray("*3C:0=+0004000\r") << QByteArray() << 1;
    QTest::newRow("runaway noise after star") << all << QByteArray("*" + QByteArray(100, 'x') + "\r*3R:?=?\r")
                                              << kDevice3 << 0;
}

void TestCounterLine::readAll()
{
    QFETCH(QVector<int>, devices);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, replies);
    QFETCH(int, rejected);

    CounterLine whole(devices);
    QCOMPARE(whole.feed(input).join(), replies);
    QCOMPARE(whole.rejectedCount(), rejected);

    // The same bytes one at a time give the same replies.
    CounterLine bytewise(devices);
    QByteArray out;
    for (char c : input)
        out += bytewise.feed(QByteArray(1, c)).join();
    QCOMPARE(out, replies);
}

void TestCounterLine::write_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QByteArray>("difference");
    // Device 0 starts with TARGET +0001000, ACTUAL +0000400, DIFFERENCE +0000600.
    QTest::newRow("target") << QByteArray("*0W:0=+0002000\r") << 0 << QByteArray("+0002000") << QByteArray("+0001600");
    QTest::newRow("actual above target") << QByteArray("*0W:1=+0001500\r") << 1 << QByteArray("+0001500") << QByteArray("-0000500");
    QTest::newRow("negative target") << QByteArray("*0W:0=-0000100\r") << 0 << QByteArray("-0000100") << QByteArray("-0000500");
    QTest::newRow("any eight characters") << QByteArray("*0W:3=ab:d=fgh\r") << 3 << QByteArray("ab:d=fgh") << QByteArray("+0000600");
    QTest::newRow("letters in target keep difference") << QByteArray("*0W:0=+00x1000\r") << 0 << QByteArray("+00x1000") << QByteArray("+0000600");
    QTest::newRow("no sign keeps difference") << QByteArray("*0W:1=00000001\r") << 1 << QByteArray("00000001") << QByteArray("+0000600");
    QTest::newRow("difference is never written") << QByteArray("*0W:2=+1234567\r") << 2 << QByteArray("+0000600") << QByteArray("+0000600");
    QTest::newRow("beyond seven digits keeps difference")
        << QByteArray("*0W:0=+9999999\r*0W:1=-0000001\r") << 1 << QByteArray("-0000001") << QByteArray("+9999599");
    QTest::newRow("value one short") << QByteArray("*0W:0=+000200\r") << 0 << QByteArray("+0001000") << QByteArray("+0000600");
    QTest::newRow("other address") << QByteArray("*1W:0=+0002000\r") << 0 << QByteArray("+0001000") << QByteArray("+0000600");
}

void TestCounterLine::write()
{
    QFETCH(QByteArray, input);
    QFETCH(int, index);
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, difference);

    CounterLine line({0});
    QVERIFY(line.feed(input).isEmpty()); // a write is never answered
    const QList<QByteArray> replies = line.feed("*0R:?=?\r");
    QCOMPARE(replies.value(index), "*0C:" + QByteArray::number(index) + "=" + value + "\r");
    QCOMPARE(replies.value(kDifference), "*0C:2=" + difference + "\r");
    QCOMPARE(line.value(4, 1), CounterLine::initialValue(4, 1)); // other devices keep their values
}

void TestCounterLine::countsAndLog()
{
    CounterLine line({2});
    line.feed("*2R:?=?\r*6R:?=?\r*2W:4=+0000051\rjunk\r*6W:0=+0000001\r*2R:?=?\r");
    QCOMPARE(line.readAllCount(2), 2);
    QCOMPARE(line.readAllCount(6), 1); // seen, though nobody answers
    QCOMPARE(line.writeCount(2), 1);
    QCOMPARE(line.writeCount(6), 1);
    QCOMPARE(line.commandLog(),
             (QList<QByteArray>{"*2R:?=?\r", "*6R:?=?\r", "*2W:4=+0000051\r", "*6W:0=+0000001\r", "*2R:?=?\r"}));
    QCOMPARE(line.devices(), QVector<int>{2});
}

QTEST_GUILESS_MAIN(TestCounterLine)
#include "tst_counterline.moc"
