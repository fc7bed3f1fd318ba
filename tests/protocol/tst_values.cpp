// Value fields: the setting fields' shape test, the displays' number and the Setup step test.
#include "protocol/parameters.h"
#include "protocol/values.h"

#include <QtTest>

using namespace kestran;

class TestValues : public QObject {
    Q_OBJECT
private slots:
    void formatDisplay_data();
    void formatDisplay();
    void valueShape_data();
    void valueShape();
    void stepWrites_data();
    void stepWrites();
};

void TestValues::formatDisplay_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("shown");

    const char *numbers[][2] = {
        {"+0001234", "1234"}, {"-0000012", "-12"}, {"+0000000", "0"}, {"-0000000", "0"},
        {"+9999999", "9999999"}, {"-9999999", "-9999999"}, {"+1000000", "1000000"},
        {"12345678", "12345678"}, {"00000000", "0"}, {"00000450", "450"}, {"7", "7"},
        {"123456789012345678901234567890", "123456789012345678901234567890"}, // beyond 64 bits
        {"-000000000000000000000000000001", "-1"},
    };
    for (const auto &n : numbers)
        QTest::newRow(n[0]) << n[0] << n[1];

    // Not a whole number: shown as received.
    const QStringList unchanged = {"", "+", "-", "abcdefgh", "-abcdefg", "+00012a4", "+000 123", " +000123",
                                   "+000123 ", "+-000123", "0000123-", "+0012.50", "0x000012",
                                   QString::fromUtf16(u"+\u0660\u0660\u0661"), QString::fromUtf16(u"\uFF11\uFF12")};
    for (const QString &text : unchanged)
        QTest::addRow("as received \"%s\"", qPrintable(text)) << text << text;
}

void TestValues::formatDisplay()
{
    QFETCH(QString, value);
    QFETCH(QString, shown);
    QCOMPARE(kestran::formatDisplay(value), shown);
}

void TestValues::valueShape_data()
{
    QTest::addColumn<QChar>("index");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("green");

    // The shapes nest (alarm within debounce within signed): each text is listed
    // by the most demanding shape it passes and tried on every parameter.
    const QStringList passing[4] = {
        {"", "+000000", "+00000000", " +000000", "1abcdefg", "12345678"}, // none
        {"-abcdefg", "+ x?*\r#!", "-9999999", "-0000001", "+0001000", "+1000000", "+O000123"}, // signed
        {"+0000abc", "+0000999", "+0000012"}, // signed, debounce
        {"+0000000", "+000000x", "+0000009"}, // all three
    };
    // The level each index needs: signed 1, debounce 2, alarm 3; DIFFERENCE has no setting field.
    const int needs[] = {1, 1, 4, 1, 2, 2, 2, 3};
    for (int level = 0; level < 4; ++level) {
        for (const QString &text : passing[level]) {
            for (const Parameter &p : parameterTable())
                QTest::addRow("%s \"%s\"", p.name, qPrintable(text)) << QChar(p.index) << text
                                                                  << (level >= needs[p.index - '0']);
        }
    }
}

void TestValues::valueShape()
{
    QFETCH(QChar, index);
    QFETCH(QString, text);
    QFETCH(bool, green);
    QCOMPARE(hasValueShape(parameterFor(index)->shape, text), green);
}

void TestValues::stepWrites_data()
{
    QTest::addColumn<int>("check");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("writes");

    QTest::newRow("ticked") << 1 << "+0000050" << true;
    QTest::newRow("ticked, any eight characters") << 1 << "abc defg" << true;
    QTest::newRow("unticked") << 0 << "+0000050" << false;
    QTest::newRow("greyed") << 2 << "+0000050" << false;
    QTest::newRow("other value") << -1 << "+0000050" << false;
    QTest::newRow("seven characters") << 1 << "+000005" << false;
    QTest::newRow("nine characters") << 1 << "+00000050" << false;
    QTest::newRow("empty") << 1 << "" << false;
}

void TestValues::stepWrites()
{
    QFETCH(int, check);
    QFETCH(QString, text);
    QFETCH(bool, writes);
    QCOMPARE(kestran::stepWrites(check, text), writes);
}

QTEST_APPLESS_MAIN(TestValues)
#include "tst_values.moc"
