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

    QTest::newRow("positive") << "+0001234" << "1234";
    QTest::newRow("negative") << "-0000012" << "-12";
    QTest::newRow("zero") << "+0000000" << "0";
    QTest::newRow("negative zero") << "-0000000" << "0";
    QTest::newRow("largest") << "+9999999" << "9999999";
    QTest::newRow("smallest") << "-9999999" << "-9999999";
    QTest::newRow("no leading zeros") << "+1000000" << "1000000";
    QTest::newRow("eight digits kept") << "12345678" << "12345678";
    QTest::newRow("eight digits, zeros") << "00000000" << "0";
    QTest::newRow("eight digits, leading zeros") << "00000450" << "450";
    QTest::newRow("single digit") << "7" << "7";
    QTest::newRow("beyond 64 bits") << "123456789012345678901234567890" << "123456789012345678901234567890";
    QTest::newRow("long negative") << "-000000000000000000000000000001" << "-1";

    // Not a whole number: shown as received.
    QTest::newRow("empty") << "" << "";
    QTest::newRow("bare plus") << "+" << "+";
    QTest::newRow("bare minus") << "-" << "-";
    QTest::newRow("letters") << "abcdefgh" << "abcdefgh";
    QTest::newRow("sign and letters") << "-abcdefg" << "-abcdefg";
    QTest::newRow("letter inside") << "+00012a4" << "+00012a4";
    QTest::newRow("inner space") << "+000 123" << "+000 123";
    QTest::newRow("leading space") << " +000123" << " +000123";
    QTest::newRow("trailing space") << "+000123 " << "+000123 ";
    QTest::newRow("two signs") << "+-000123" << "+-000123";
    QTest::newRow("sign at the end") << "0000123-" << "0000123-";
    QTest::newRow("decimal point") << "+0012.50" << "+0012.50";
    QTest::newRow("hex") << "0x000012" << "0x000012";
    QTest::newRow("arabic-indic digits") << QString::fromUtf16(u"+\u0660\u0660\u0661") << QString::fromUtf16(u"+\u0660\u0660\u0661");
    QTest::newRow("fullwidth digits") << QString::fromUtf16(u"\uFF11\uFF12") << QString::fromUtf16(u"\uFF11\uFF12");
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

    // Every row of the table: empty and seven characters never pass; the
    // counter's zero passes everywhere a setting field exists.
    for (const Parameter &p : parameterTable()) {
        const QChar i(p.index);
        QTest::addRow("%s empty", p.name) << i << QString() << false;
        QTest::addRow("%s seven characters", p.name) << i << "+000000" << false;
        QTest::addRow("%s nine characters", p.name) << i << "+00000000" << false;
        QTest::addRow("%s zero", p.name) << i << "+0000000" << p.hasSetting;
        QTest::addRow("%s leading space", p.name) << i << " +000000" << false;
    }

    for (char c : {'0', '1', '3'}) {
        const QChar i(c);
        const char *n = parameterFor(i)->name;
        QTest::addRow("%s minus and letters", n) << i << "-abcdefg" << true;
        QTest::addRow("%s plus and anything", n) << i << "+ x?*\r#!" << true;
        QTest::addRow("%s digit first", n) << i << "1abcdefg" << false;
        QTest::addRow("%s eight digits", n) << i << "12345678" << false;
        QTest::addRow("%s negative", n) << i << "-9999999" << true;
    }
    for (char c : {'4', '5', '6'}) {
        const QChar i(c);
        const char *n = parameterFor(i)->name;
        QTest::addRow("%s three free characters", n) << i << "+0000abc" << true;
        QTest::addRow("%s largest", n) << i << "+0000999" << true;
        QTest::addRow("%s minus", n) << i << "-0000123" << false;
        QTest::addRow("%s nonzero in first four", n) << i << "+0001000" << false;
        QTest::addRow("%s nonzero first", n) << i << "+1000000" << false;
        QTest::addRow("%s letter O for zero", n) << i << "+O000123" << false;
    }
    const QChar alarm('7');
    QTest::newRow("ALARM one free character") << alarm << "+000000x" << true;
    QTest::newRow("ALARM digit") << alarm << "+0000009" << true;
    QTest::newRow("ALARM two digits") << alarm << "+0000012" << false;
    QTest::newRow("ALARM minus") << alarm << "-0000001" << false;

    QTest::newRow("DIFFERENCE signed value") << QChar('2') << "-0000012" << false;
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
