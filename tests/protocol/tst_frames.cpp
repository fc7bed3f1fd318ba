// Command frames and the parameter table.
#include "protocol/frames.h"
#include "protocol/parameters.h"

#include <QtTest>

using namespace kestran;

namespace {

// Records every piece handed to the line and how often the device list was read.
struct RecordingOutput : FrameOutput {
    QString device;
    QStringList pieces;
    mutable int deviceReads = 0;

    QString deviceText() const override { ++deviceReads; return device; }
    void output(const QString &piece) override { pieces << piece; }
};

} // namespace

class TestFrames : public QObject {
    Q_OBJECT
private slots:
    void parameterFor_data();
    void parameterFor();
    void setupOrderSkipsDifference();
    void frames_data();
    void frames();
    void addressReadAfreshForEveryFrame();
    void replyFrame();
};

void TestFrames::parameterFor_data()
{
    QTest::addColumn<QChar>("index");
    QTest::addColumn<QString>("name"); // empty: not a parameter
    QTest::addColumn<bool>("display");
    QTest::addColumn<bool>("setting");

    // Each index's value shape is checked with the setting fields (tst_values).
    const char *names[] = {"TARGET", "ACTUAL", "DIFFERENCE", "RESET",
                           "DEBOUNCE(0)", "DEBOUNCE(1)", "DEBOUNCE(2)", "ALARM"};
    for (int i = 0; i < 8; ++i)
        QTest::addRow("%d", i) << QChar('0' + i) << names[i] << (i <= 2) << (i != 2);
    // "8", "/", "?", NUL, arabic-indic zero, fullwidth one, "0" in the high byte.
    for (char16_t c : {u'8', u'/', u'?', u'\0', u'\u0660', u'\uFF11', u'\u3030'})
        QTest::addRow("U+%04X", unsigned(c)) << QChar(c) << QString() << false << false;
}

void TestFrames::parameterFor()
{
    QFETCH(QChar, index);
    QFETCH(QString, name);
    QFETCH(bool, display);
    QFETCH(bool, setting);

    const Parameter *p = kestran::parameterFor(index);
    QCOMPARE(p != nullptr, !name.isEmpty());
    if (!p)
        return;
    QCOMPARE(p, &parameterTable()[index.unicode() - u'0']);
    QCOMPARE(QChar(p->index), index);
    QCOMPARE(QString::fromLatin1(p->name), name);
    QCOMPARE(p->hasDisplay, display);
    QCOMPARE(p->hasSetting, setting);
}

void TestFrames::setupOrderSkipsDifference()
{
    const std::array<char, 7> expected = {{'0', '1', '3', '4', '5', '6', '7'}};
    QCOMPARE(setupOrder(), expected);
}

void TestFrames::frames_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QChar>("index"); // null: a read-all
    QTest::addColumn<QString>("value");
    const QStringList values = {"+0000050", "-1234567", "+000000A", "abcdefgh"};
    int v = 0;
    for (int d = 0; d < 8; ++d) {
        const QString device = QStringLiteral("Device-%1").arg(d);
        QTest::addRow("read-all %d", d) << device << QString::number(d) << QChar() << "?";
        for (char index : setupOrder())
            QTest::addRow("write %d %c", d, index) << device << QString::number(d) << QChar(index) << values[v++ % 4];
    }
    QTest::newRow("longer text") << "Device-12" << "1" << QChar() << "?";
    // A text without an eighth character still gives eight writes, one of them empty.
    QTest::newRow("empty text") << QString() << QString() << QChar() << "?";
    QTest::newRow("seven characters") << "Device-" << QString() << QChar('3') << "+0000001";
}

void TestFrames::frames()
{
    QFETCH(QString, device);
    QFETCH(QString, address);
    QFETCH(QChar, index);
    QFETCH(QString, value);

    QCOMPARE(deviceAddress(device), address);
    RecordingOutput out;
    out.device = device;
    const bool readAll = index.isNull();
    readAll ? SendReadAll(out) : SendWrite(out, index, value);
    // Eight writes, the value field being one of them.
    const QString command = readAll ? "R" : "W", field = readAll ? "?" : QString(index);
    QCOMPARE(out.pieces, (QStringList{"*", address, command, ":", field, "=", value, "\r"}));
    QCOMPARE(out.deviceReads, 1);
    if (!address.isEmpty()) {
        const QByteArray bytes = readAll ? readAllFrame(address[0]) : writeFrame(address[0], index, value.toLatin1());
        QCOMPARE(out.pieces.join(QString()).toLatin1(), bytes);
    }
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
    QCOMPARE(out.deviceReads, 3);
    QCOMPARE(out.pieces.join(QString()), QStringLiteral("*2R:?=?\r*5W:7=+0000003\r*0R:?=?\r"));
}

void TestFrames::replyFrame()
{
    QCOMPARE(kestran::replyFrame(QChar('0'), QChar('1'), "+0001234"), QByteArray("*0C:1=+0001234\r"));
}

QTEST_APPLESS_MAIN(TestFrames)
#include "tst_frames.moc"
