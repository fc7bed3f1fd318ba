// Command frames and the parameter table.
#include "protocol/frames.h"
#include "protocol/parameters.h"

#include <QtTest>

using namespace kestran;

namespace {

// Records every piece handed to the line and how often the device list was read.
class RecordingOutput : public FrameOutput {
public:
    QString device;
    QStringList pieces;
    mutable int deviceReads = 0;

    QString deviceText() const override
    {
        ++deviceReads;
        return device;
    }
    void output(const QString &piece) override { pieces << piece; }
};

} // namespace

class TestFrames : public QObject {
    Q_OBJECT
private slots:
    void parameterTable_data();
    void parameterTable();
    void parameterForRejectsOtherCharacters_data();
    void parameterForRejectsOtherCharacters();
    void setupOrderSkipsDifference();

    void deviceAddress_data();
    void deviceAddress();
    void readAll_data();
    void readAll();
    void write_data();
    void write();
    void addressReadAfreshForEveryFrame();
    void byteFrames();
};

void TestFrames::parameterTable_data()
{
    QTest::addColumn<QChar>("index");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("display");
    QTest::addColumn<bool>("setting");
    QTest::addColumn<int>("shape");

    QTest::newRow("0") << QChar('0') << "TARGET" << true << true << int(ValueShape::Signed);
    QTest::newRow("1") << QChar('1') << "ACTUAL" << true << true << int(ValueShape::Signed);
    QTest::newRow("2") << QChar('2') << "DIFFERENCE" << true << false << int(ValueShape::None);
    QTest::newRow("3") << QChar('3') << "RESET" << false << true << int(ValueShape::Signed);
    QTest::newRow("4") << QChar('4') << "DEBOUNCE(0)" << false << true << int(ValueShape::Debounce);
    QTest::newRow("5") << QChar('5') << "DEBOUNCE(1)" << false << true << int(ValueShape::Debounce);
    QTest::newRow("6") << QChar('6') << "DEBOUNCE(2)" << false << true << int(ValueShape::Debounce);
    QTest::newRow("7") << QChar('7') << "ALARM" << false << true << int(ValueShape::Alarm);
}

void TestFrames::parameterTable()
{
    QFETCH(QChar, index);
    QFETCH(QString, name);
    QFETCH(bool, display);
    QFETCH(bool, setting);
    QFETCH(int, shape);

    const Parameter *p = parameterFor(index);
    QVERIFY(p);
    QCOMPARE(p, &kestran::parameterTable()[index.unicode() - u'0']);
    QCOMPARE(QChar(p->index), index);
    QCOMPARE(QString::fromLatin1(p->name), name);
    QCOMPARE(p->hasDisplay, display);
    QCOMPARE(p->hasSetting, setting);
    QCOMPARE(int(p->shape), shape);
}

void TestFrames::parameterForRejectsOtherCharacters_data()
{
    QTest::addColumn<QChar>("ch");
    QTest::newRow("8") << QChar('8');
    QTest::newRow("/") << QChar('/');
    QTest::newRow("?") << QChar('?');
    QTest::newRow("NUL") << QChar();
    QTest::newRow("arabic-indic zero") << QChar(0x0660);
    QTest::newRow("fullwidth one") << QChar(0xFF11);
    QTest::newRow("'0' in the high byte") << QChar(0x3030);
}

void TestFrames::parameterForRejectsOtherCharacters()
{
    QFETCH(QChar, ch);
    QCOMPARE(parameterFor(ch), nullptr);
}

void TestFrames::setupOrderSkipsDifference()
{
    const std::array<char, 7> expected = {{'0', '1', '3', '4', '5', '6', '7'}};
    QCOMPARE(setupOrder(), expected);
    for (char c : setupOrder())
        QVERIFY(parameterFor(QChar(c))->hasSetting);
}

void TestFrames::deviceAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("address");
    for (int d = 0; d < 8; ++d)
        QTest::addRow("Device-%d", d) << QStringLiteral("Device-%1").arg(d) << QString::number(d);
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("seven characters") << "Device-" << QString();
    QTest::newRow("longer") << "Device-12" << "1";
}

void TestFrames::deviceAddress()
{
    QFETCH(QString, text);
    QFETCH(QString, address);
    QCOMPARE(kestran::deviceAddress(text), address);
}

void TestFrames::readAll_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("address");
    for (int d = 0; d < 8; ++d)
        QTest::addRow("Device-%d", d) << QStringLiteral("Device-%1").arg(d) << QString::number(d);
    // A text without an eighth character still gives eight writes, one of them empty.
    QTest::newRow("no address") << "Dev" << QString();
}

void TestFrames::readAll()
{
    QFETCH(QString, device);
    QFETCH(QString, address);

    RecordingOutput out;
    out.device = device;
    SendReadAll(out);

    const QStringList expected = {"*", address, "R", ":", "?", "=", "?", "\r"};
    QCOMPARE(out.pieces, expected);
    QCOMPARE(out.deviceReads, 1);
    if (!address.isEmpty()) {
        QCOMPARE(out.pieces.join(QString()).toLatin1(), readAllFrame(address[0]));
        QCOMPARE(out.pieces.join(QString()).size(), 8);
    }
}

void TestFrames::write_data()
{
    QTest::addColumn<QChar>("address");
    QTest::addColumn<QChar>("index");
    QTest::addColumn<QString>("value");
    const QStringList values = {"+0000050", "-1234567", "+000000A", "abcdefgh"};
    int v = 0;
    for (int d = 0; d < 8; ++d) {
        for (char index : setupOrder()) {
            QTest::addRow("device %d index %c", d, index)
                << QChar('0' + d) << QChar(index) << values[v++ % values.size()];
        }
    }
}

void TestFrames::write()
{
    QFETCH(QChar, address);
    QFETCH(QChar, index);
    QFETCH(QString, value);

    RecordingOutput out;
    out.device = QStringLiteral("Device-") + address;
    SendWrite(out, index, value);

    QCOMPARE(out.pieces.size(), 8);
    QCOMPARE(out.pieces[6], value); // the value field is one write
    QCOMPARE(out.deviceReads, 1);
    const QString frame = out.pieces.join(QString());
    QCOMPARE(frame.size(), 15);
    QCOMPARE(frame.toLatin1(), writeFrame(address, index, value.toLatin1()));
    QCOMPARE(frame, QStringLiteral("*%1W:%2=%3\r").arg(address).arg(index).arg(value));
}

void TestFrames::addressReadAfreshForEveryFrame()
{
    RecordingOutput out;
    out.device = QStringLiteral("Device-2");
    SendReadAll(out);
    out.device = QStringLiteral("Device-5");
    SendWrite(out, QChar('7'), QStringLiteral("+0000003"));
    out.device = QStringLiteral("Device-0");
    SendReadAll(out);

    QCOMPARE(out.pieces.size(), 24);
    QCOMPARE(out.deviceReads, 3);
    QCOMPARE(out.pieces.join(QString()),
             QStringLiteral("*2R:?=?\r*5W:7=+0000003\r*0R:?=?\r"));
}

void TestFrames::byteFrames()
{
    QCOMPARE(readAllFrame(QChar('3')), QByteArray("*3R:?=?\r"));
    QCOMPARE(writeFrame(QChar('0'), QChar('4'), "+0000050"), QByteArray("*0W:4=+0000050\r"));
    QCOMPARE(replyFrame(QChar('0'), QChar('1'), "+0001234"), QByteArray("*0C:1=+0001234\r"));
}

QTEST_APPLESS_MAIN(TestFrames)
#include "tst_frames.moc"
