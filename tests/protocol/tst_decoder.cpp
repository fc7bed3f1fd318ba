// The reply decoder: one received character at a time, updates only at the
// carriage return of a frame from the selected device.
#include "protocol/decoder.h"
#include "protocol/frames.h"
#include "reference_decoder.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace kestran;

namespace {

QString describe(const ReplyUpdate &u) { return QString(u.index) + QLatin1Char('=') + u.value; }

// Feeds `stream` with one address; returns the updates as "index=value".
QStringList feedAll(ReplyDecoder &decoder, const QString &stream, const QString &address)
{
    QStringList updates;
    for (QChar ch : stream) {
        if (auto u = decoder.feed(ch, address))
            updates << describe(*u);
    }
    return updates;
}

QString reply(char address, char index, const char *value)
{
    return QString::fromLatin1(replyFrame(QChar(address), QChar(index), value));
}

} // namespace

class TestDecoder : public QObject {
    Q_OBJECT
private slots:
    void stateTable_data();
    void stateTable();
    void updatesExactlyAtTheCarriageReturn();
    void addressComparedWhenTheCarriageReturnArrives();
    void bufferStaysBoundedUnderNoise();
    void boundaryLengths();
    void matchesModel_data();
    void matchesModel();
};

void TestDecoder::stateTable_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("stream");
    QTest::addColumn<QStringList>("updates");
    QTest::addColumn<QString>("buffer"); // afterwards, unbounded

    const QString actual = reply('0', '1', "+0001234");

    QTest::newRow("reply") << "0" << actual << QStringList{"1=+0001234"} << "";
    QTest::newRow("every index") << "3"
        << reply('3', '0', "+0000001") + reply('3', '1', "-0000002") + reply('3', '2', "+0000003")
               + reply('3', '3', "+0000004") + reply('3', '4', "+0000005") + reply('3', '5', "+0000006")
               + reply('3', '6', "+0000007") + reply('3', '7', "+0000008")
        << QStringList{"0=+0000001", "1=-0000002", "2=+0000003", "3=+0000004",
                       "4=+0000005", "5=+0000006", "6=+0000007", "7=+0000008"}
        << "";
    QTest::newRow("value as received") << "0" << reply('0', '0', "ab  \x01?#x")
        << QStringList{"0=ab  \x01?#x"} << "";
    QTest::newRow("letters in the value") << "0" << reply('0', '0', "-abcdefg")
        << QStringList{"0=-abcdefg"} << "";
    QTest::newRow("partial reply") << "0" << actual.left(10) << QStringList{} << actual.left(10);
    QTest::newRow("noise before the star") << "0" << "x9\r0\r\r" + actual << QStringList{"1=+0001234"} << "";
    QTest::newRow("star restarts") << "0" << "*0C:1=+00" + reply('0', '2', "-0000012")
        << QStringList{"2=-0000012"} << "";
    QTest::newRow("star in the value restarts") << "0" << "*0C:1=+0*0C:1=+0001234\r"
        << QStringList{"1=+0001234"} << "";
    QTest::newRow("other device kept") << "0" << reply('2', '1', "+0001234")
        << QStringList{} << reply('2', '1', "+0001234");
    QTest::newRow("other device then ours") << "0" << reply('2', '1', "+0001234") + actual
        << QStringList{"1=+0001234"} << "";
    QTest::newRow("other device swallows a frame without star") << "0"
        << reply('2', '1', "+0001234") + actual.mid(1)
        << QStringList{} << reply('2', '1', "+0001234") + actual.mid(1);
    QTest::newRow("14 characters emptied") << "0" << "*0C:1=+000123\r" << QStringList{} << "";
    QTest::newRow("16 characters emptied") << "0" << "*0C:1=+00012345\r" << QStringList{} << "";
    QTest::newRow("14 then a reply") << "0" << "*0C:1=+000123\r" + actual << QStringList{"1=+0001234"} << "";
    QTest::newRow("16 then a reply") << "0" << "*0C:1=+00012345\r" + actual << QStringList{"1=+0001234"} << "";
    QTest::newRow("lower-case c") << "0" << "*0c:1=+0001234\r" << QStringList{} << "";
    QTest::newRow("write command") << "0" << QString::fromLatin1(writeFrame(QChar('0'), QChar('1'), "+0001234"))
        << QStringList{} << "";
    QTest::newRow("index 8") << "0" << "*0C:8=+0001234\r" << QStringList{} << "";
    QTest::newRow("index /") << "0" << "*0C:/=+0001234\r" << QStringList{} << "";
    QTest::newRow("separators not examined") << "0" << "*0Cx1x+0001234\r" << QStringList{"1=+0001234"} << "";
    QTest::newRow("frame end then a run without star") << "0" << actual + "X0C:3=+0000050\r"
        << QStringList{"1=+0001234", "3=+0000050"} << "";
    QTest::newRow("run without star, carriage return first") << "5"
        << reply('5', '1', "+0000001") + "\r5C:6=+0000001\r"
        << QStringList{"1=+0000001", "6=+0000001"} << "";
    QTest::newRow("carriage return on empty buffer kept") << "0" << "\r" << QStringList{} << "\r";
    QTest::newRow("carriage return after star kept") << "0" << "*\r" << QStringList{} << "*\r";
    QTest::newRow("kept carriage return is position 1") << "0" << "\r0C:1=+0001234\r"
        << QStringList{"1=+0001234"} << "";
    QTest::newRow("early carriage return ends the frame") << "0" << "*0C:1=+00\r01234\r"
        << QStringList{} << "01234\r";

    // The device list's text may be too short to have an eighth character.
    QTest::newRow("no address: reply kept") << "" << actual << QStringList{} << actual;
    QTest::newRow("no address: carriage return on empty buffer ends a frame") << "" << "\r"
        << QStringList{} << "";
    QTest::newRow("no address: carriage return after star kept") << "" << "*\r" << QStringList{} << "*\r";
}

void TestDecoder::stateTable()
{
    QFETCH(QString, address);
    QFETCH(QString, stream);
    QFETCH(QStringList, updates);
    QFETCH(QString, buffer);

    ReplyDecoder decoder;
    QCOMPARE(feedAll(decoder, stream, address), updates);
    QCOMPARE(decoder.text(), buffer.left(16));
    QCOMPARE(decoder.isEmpty(), buffer.isEmpty());
    QCOMPARE(decoder.tooLong(), buffer.size() > 16);
}

void TestDecoder::updatesExactlyAtTheCarriageReturn()
{
    const QString frame = reply('4', '7', "+0000003");
    ReplyDecoder decoder;
    for (int i = 0; i < frame.size() - 1; ++i) {
        QVERIFY(!decoder.feed(frame[i], QStringLiteral("4")));
        QCOMPARE(decoder.text(), frame.left(i + 1));
    }
    const auto update = decoder.feed(frame.back(), QStringLiteral("4"));
    QVERIFY(update);
    QCOMPARE(update->index, QChar('7'));
    QCOMPARE(update->value, QStringLiteral("+0000003"));
    QVERIFY(decoder.isEmpty());
}

void TestDecoder::addressComparedWhenTheCarriageReturnArrives()
{
    // A reply from device 1 starts while device 0 is selected; the operator
    // picks device 1 before its carriage return: it decodes.
    const QString frame = reply('1', '0', "-0000001");
    ReplyDecoder decoder;
    QCOMPARE(feedAll(decoder, frame.chopped(1), QStringLiteral("0")), QStringList{});
    QCOMPARE(feedAll(decoder, QStringLiteral("\r"), QStringLiteral("1")), QStringList{"0=-0000001"});

    // The other way round: the reply is for device 1, device 2 is picked first.
    QCOMPARE(feedAll(decoder, frame.chopped(1), QStringLiteral("1")), QStringList{});
    QCOMPARE(feedAll(decoder, QStringLiteral("\r"), QStringLiteral("2")), QStringList{});
    QCOMPARE(decoder.text(), frame);
    // Going back to device 1 now ends the (16-character) frame without an update.
    QCOMPARE(feedAll(decoder, QStringLiteral("\r"), QStringLiteral("1")), QStringList{});
    QVERIFY(decoder.isEmpty());
}

void TestDecoder::bufferStaysBoundedUnderNoise()
{
    ReplyDecoder decoder;
    QString noise = QStringLiteral("*3");
    for (int i = 0; i < 100000; ++i)
        noise += QLatin1Char("0123456789C:=+-\r"[i % 16]);
    // Device 2 selected: the carriage returns are not frame ends.
    QCOMPARE(feedAll(decoder, noise, QStringLiteral("2")), QStringList{});
    QVERIFY(decoder.tooLong());
    QCOMPARE(decoder.text(), noise.left(16));

    // Device 3 selected: the next carriage return ends the overlong frame, undecoded.
    QCOMPARE(feedAll(decoder, QStringLiteral("0C:1=+0001234\r"), QStringLiteral("3")), QStringList{});
    QVERIFY(decoder.isEmpty());
    QVERIFY(!decoder.tooLong());
    QCOMPARE(feedAll(decoder, reply('3', '1', "+0001234"), QStringLiteral("3")), QStringList{"1=+0001234"});

    // A star clears the overlong buffer as well.
    feedAll(decoder, noise, QStringLiteral("2"));
    QVERIFY(decoder.tooLong());
    QCOMPARE(feedAll(decoder, reply('2', '5', "+0000009"), QStringLiteral("2")), QStringList{"5=+0000009"});
    QVERIFY(!decoder.tooLong());
}

void TestDecoder::boundaryLengths()
{
    // 15, 16 and 17 characters of one frame from another device: kept in
    // full up to 16, cut (and flagged) beyond.
    ReplyDecoder decoder;
    const QString frame = reply('6', '0', "+0000001");
    feedAll(decoder, frame, QStringLiteral("0"));
    QCOMPARE(decoder.text(), frame);
    QVERIFY(!decoder.tooLong());
    feedAll(decoder, QStringLiteral("x"), QStringLiteral("0"));
    QCOMPARE(decoder.text(), frame + "x");
    QVERIFY(!decoder.tooLong());
    feedAll(decoder, QStringLiteral("y"), QStringLiteral("0"));
    QCOMPARE(decoder.text(), frame + "x");
    QVERIFY(decoder.tooLong());
}

void TestDecoder::matchesModel_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed : {1u, 2u, 3u, 42u, 1234u, 20240601u, 0xdeadbeefu, 0xfffffffeu})
        QTest::addRow("seed %u", seed) << seed;
}

void TestDecoder::matchesModel()
{
    QFETCH(quint32, seed);
    QRandomGenerator rng(seed);

    const QStringList addresses = {"0", "1", "2", "3", "4", "5", "6", "7", "", "", "\r", "x"};
    QString address = QStringLiteral("0");
    const QString alphabet = QStringLiteral("**\r\r\rCCc0123456701234567:=+-W9");
    const QString noStar = QString(alphabet).remove(QLatin1Char('*'));

    ReplyDecoder decoder;
    reference::ModelDecoder model;
    int updates = 0;
    int fed = 0;
    QString failure;
    auto feedOne = [&](QChar ch) {
        if (!failure.isEmpty())
            return;
        const auto got = decoder.feed(ch, address);
        const auto want = model.feed(ch, address);
        ++fed;
        if (!reference::sameUpdate(got, want))
            failure = QStringLiteral("update differs after %1 characters").arg(fed);
        else if (!reference::sameState(decoder, model))
            failure = QStringLiteral("buffer differs after %1 characters: %2 / %3")
                          .arg(fed).arg(decoder.text(), model.buffer.left(40));
        if (got)
            ++updates;
    };

    while (fed < 300000 && failure.isEmpty()) {
        const quint32 pick = rng.bounded(100);
        if (pick < 2) {
            address = addresses[int(rng.bounded(int(addresses.size())))];
        } else if (pick < 12) {
            // A reply, mostly for the selected device, sometimes with one
            // character dropped or added, or without its "*".
            const char device = rng.bounded(3) == 0 || address.isEmpty() ? char('0' + rng.bounded(8))
                                                                         : address[0].toLatin1();
            QString frame = reply(device, char('0' + rng.bounded(9)), "+0000000");
            const QString valueChars = rng.bounded(20) == 0 ? alphabet : QStringLiteral("+-0123456789");
            for (int i = 6; i < 14; ++i)
                frame[i] = valueChars[int(rng.bounded(int(valueChars.size())))];
            const quint32 damage = rng.bounded(10);
            if (damage == 0)
                frame.remove(int(rng.bounded(15)), 1);
            else if (damage == 1)
                frame.insert(int(rng.bounded(15)), QChar('0' + rng.bounded(10)));
            else if (damage == 2)
                frame.remove(0, 1); // starts without "*"
            for (QChar ch : frame)
                feedOne(ch);
        } else if (pick < 14) {
            // A long run without "*" to exercise the bound.
            const int n = int(rng.bounded(60));
            for (int i = 0; i < n; ++i)
                feedOne(noStar[int(rng.bounded(int(noStar.size())))]);
        } else if (pick < 99) {
            feedOne(alphabet[int(rng.bounded(int(alphabet.size())))]);
        } else {
            feedOne(QChar(char16_t(rng.bounded(0x10000))));
        }
    }
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QVERIFY2(updates > 1000, qPrintable(QString::number(updates)));
}

QTEST_APPLESS_MAIN(TestDecoder)
#include "tst_decoder.moc"
