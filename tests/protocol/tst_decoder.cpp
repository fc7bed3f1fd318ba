// The reply decoder: one received character at a time, updates only at the
// carriage return of a frame from the selected device.
#include "protocol/decoder.h"
#include "protocol/frames.h"
#include "reference_decoder.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace kestran;

namespace {

// The bounded decoder and the plain model fed alike, compared after every character.
struct Decoders {
    ReplyDecoder decoder;
    reference::ModelDecoder model;
    int fed = 0, updateCount = 0;
    int mismatchAt = -1; // characters fed when the two first disagreed

    // Returns the decoder's updates as "index=value,...".
    QString feed(const QString &stream, const QString &address)
    {
        QStringList updates;
        for (QChar ch : stream) {
            const auto got = decoder.feed(ch, address);
            const auto want = model.feed(ch, address);
            ++fed;
            if (mismatchAt < 0 && !(reference::sameUpdate(got, want) && reference::sameState(decoder, model)))
                mismatchAt = fed;
            if (got)
                updates << QString(got->index) + QLatin1Char('=') + got->value;
        }
        updateCount += int(updates.size());
        return updates.join(QLatin1Char(','));
    }
};

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
    void addressComparedWhenTheCarriageReturnArrives();
    void matchesModel_data();
    void matchesModel();
};

void TestDecoder::stateTable_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("stream");
    QTest::addColumn<QString>("updates"); // "index=value,..."
    QTest::addColumn<QString>("buffer"); // afterwards, unbounded

    const QString actual = reply('0', '1', "+0001234");
    QString everyIndex;
    QStringList everyUpdate;
    for (char i = '0'; i <= '7'; ++i) {
        const QByteArray value = (i == '1' ? "-000000" : "+000000") + QByteArray(1, char(i + 1));
        everyIndex += reply('3', i, value.constData());
        everyUpdate << QString(QChar(i)) + QLatin1Char('=') + QString::fromLatin1(value);
    }
    // Carriage returns of device 2's frame among endless noise; none of device 3's.
    QString noise = QStringLiteral("*3");
    for (int i = 0; i < 100000; ++i)
        noise += QLatin1Char("0123456789C:=+-\r"[i % 16]);
    const QString noCr = QString(noise).remove(QLatin1Char('\r'));
    const QString other = reply('6', '0', "+0000001");

    QTest::newRow("reply") << "0" << actual << "1=+0001234" << "";
    QTest::newRow("every index") << "3" << everyIndex << everyUpdate.join(QLatin1Char(',')) << "";
    QTest::newRow("value as received") << "0" << reply('0', '0', "ab  \x01?#x") << "0=ab  \x01?#x" << "";
    QTest::newRow("letters in the value") << "0" << reply('0', '0', "-abcdefg") << "0=-abcdefg" << "";
    QTest::newRow("partial reply") << "0" << actual.left(10) << "" << actual.left(10);
    QTest::newRow("noise before the star") << "0" << "x9\r0\r\r" + actual << "1=+0001234" << "";
    QTest::newRow("star restarts") << "0" << "*0C:1=+00" + reply('0', '2', "-0000012") << "2=-0000012" << "";
    QTest::newRow("star in the value restarts") << "0" << "*0C:1=+0*0C:1=+0001234\r" << "1=+0001234" << "";
    QTest::newRow("other device kept") << "0" << other << "" << other;
    QTest::newRow("other device then ours") << "0" << reply('2', '1', "+0001234") + actual << "1=+0001234" << "";
    const QString swallowed = reply('2', '1', "+0001234") + actual.mid(1);
    QTest::newRow("other device swallows a frame without star") << "0" << swallowed << "" << swallowed;
    QTest::newRow("16 characters kept") << "0" << other + "x" << "" << other + "x";
    QTest::newRow("17 characters cut") << "0" << other + "xy" << "" << other + "xy";
    QTest::newRow("endless noise bounded") << "2" << noise << "" << noise;
    QTest::newRow("overlong frame ends undecoded") << "3" << noCr + "0C:1=+0001234\r" << "" << "";
    QTest::newRow("star clears an overlong buffer") << "2" << noise + reply('2', '5', "+0000009") << "5=+0000009" << "";
    QTest::newRow("14 characters emptied") << "0" << "*0C:1=+000123\r" << "" << "";
    QTest::newRow("16 characters emptied") << "0" << "*0C:1=+00012345\r" << "" << "";
    QTest::newRow("14 then a reply") << "0" << "*0C:1=+000123\r" + actual << "1=+0001234" << "";
    QTest::newRow("16 then a reply") << "0" << "*0C:1=+00012345\r" + actual << "1=+0001234" << "";
    QTest::newRow("lower-case c") << "0" << "*0c:1=+0001234\r" << "" << "";
    QTest::newRow("write command") << "0" << QString::fromLatin1(writeFrame('0', '1', "+0001234")) << "" << "";
    QTest::newRow("index 8") << "0" << "*0C:8=+0001234\r" << "" << "";
    QTest::newRow("index /") << "0" << "*0C:/=+0001234\r" << "" << "";
    QTest::newRow("separators not examined") << "0" << "*0Cx1x+0001234\r" << "1=+0001234" << "";
    QTest::newRow("frame end then a run without star") << "0" << actual + "X0C:3=+0000050\r"
        << "1=+0001234,3=+0000050" << "";
    QTest::newRow("run without star, carriage return first") << "5" << reply('5', '1', "+0000001") + "\r5C:6=+0000001\r"
        << "1=+0000001,6=+0000001" << "";
    QTest::newRow("carriage return on empty buffer kept") << "0" << "\r" << "" << "\r";
    QTest::newRow("carriage return after star kept") << "0" << "*\r" << "" << "*\r";
    QTest::newRow("kept carriage return is position 1") << "0" << "\r0C:1=+0001234\r" << "1=+0001234" << "";
    QTest::newRow("early carriage return ends the frame") << "0" << "*0C:1=+00\r01234\r" << "" << "01234\r";

    // The device list's text may be too short to have an eighth character.
    QTest::newRow("no address: reply kept") << "" << actual << "" << actual;
    QTest::newRow("no address: carriage return on empty buffer ends a frame") << "" << "\r" << "" << "";
    QTest::newRow("no address: carriage return after star kept") << "" << "*\r" << "" << "*\r";
}

void TestDecoder::stateTable()
{
    QFETCH(QString, address);
    QFETCH(QString, stream);
    QFETCH(QString, updates);
    QFETCH(QString, buffer);

    Decoders d;
    QCOMPARE(d.feed(stream, address), updates);
    QCOMPARE(d.mismatchAt, -1); // also no update and the plain buffer before each carriage return
    QCOMPARE(d.decoder.text(), buffer.left(16));
    QCOMPARE(d.decoder.isEmpty(), buffer.isEmpty());
    QCOMPARE(d.decoder.tooLong(), buffer.size() > 16);
}

void TestDecoder::addressComparedWhenTheCarriageReturnArrives()
{
    // A reply from device 1 starts while device 0 is selected; the operator
    // picks device 1 before its carriage return: it decodes.
    const QString frame = reply('1', '0', "-0000001");
    Decoders d;
    QCOMPARE(d.feed(frame.chopped(1), "0"), QString());
    QCOMPARE(d.feed("\r", "1"), QStringLiteral("0=-0000001"));

    // The other way round: the reply is for device 1, device 2 is picked first.
    QCOMPARE(d.feed(frame.chopped(1), "1"), QString());
    QCOMPARE(d.feed("\r", "2"), QString());
    QCOMPARE(d.decoder.text(), frame);
    // Going back to device 1 now ends the (16-character) frame without an update.
    QCOMPARE(d.feed("\r", "1"), QString());
    QVERIFY(d.decoder.isEmpty());
    QCOMPARE(d.mismatchAt, -1);
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
    auto any = [&rng](const auto &list) { return list[int(rng.bounded(int(list.size())))]; };

    const QStringList addresses = {"0", "1", "2", "3", "4", "5", "6", "7", "", "", "\r", "x"};
    QString address = QStringLiteral("0");
    const QString alphabet = QStringLiteral("**\r\r\rCCc0123456701234567:=+-W9");
    const QString noStar = QString(alphabet).remove(QLatin1Char('*'));

    Decoders d;
    while (d.fed < 300000 && d.mismatchAt < 0) {
        const quint32 pick = rng.bounded(100);
        QString chunk;
        if (pick < 2) {
            address = any(addresses);
        } else if (pick < 12) {
            // A reply, mostly for the selected device, sometimes with one
            // character dropped or added, or without its "*".
            const char device = rng.bounded(3) == 0 || address.isEmpty() ? char('0' + rng.bounded(8))
                                                                         : address[0].toLatin1();
            chunk = reply(device, char('0' + rng.bounded(9)), "+0000000");
            const QString valueChars = rng.bounded(20) == 0 ? alphabet : QStringLiteral("+-0123456789");
            for (int i = 6; i < 14; ++i)
                chunk[i] = any(valueChars);
            const quint32 damage = rng.bounded(10);
            if (damage == 0)
                chunk.remove(int(rng.bounded(15)), 1);
            else if (damage == 1)
                chunk.insert(int(rng.bounded(15)), QChar('0' + rng.bounded(10)));
            else if (damage == 2)
                chunk.remove(0, 1); // starts without "*"
        } else if (pick < 14) {
            // A long run without "*" to exercise the bound.
            for (int n = int(rng.bounded(60)); n > 0; --n)
                chunk += any(noStar);
        } else {
            chunk = pick < 99 ? any(alphabet) : QChar(char16_t(rng.bounded(0x10000)));
        }
        d.feed(chunk, address);
    }
    QCOMPARE(d.mismatchAt, -1);
    QVERIFY2(d.updateCount > 1000, qPrintable(QString::number(d.updateCount)));
}

QTEST_APPLESS_MAIN(TestDecoder)
#include "tst_decoder.moc"
