// Names and values as scripts and backup files give them, and the backup file
// reader: what is accepted, what is refused, and that the refusal names the place.
#include "backupfile.h"
#include "valueinput.h"

#include <QtTest>

using namespace kestran;

class TestValues : public QObject {
    Q_OBJECT
private slots:
    void valueField_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("field");   // "" = refused
        QTest::newRow("number") << "TARGET" << "1234" << "+0001234";
        QTest::newRow("negative") << "ACTUAL" << "-5" << "-0000005";
        QTest::newRow("plus sign") << "RESET" << "+12" << "+0000012";
        QTest::newRow("minus zero") << "TARGET" << "-0" << "+0000000";
        QTest::newRow("leading zeros") << "TARGET" << "0009999999" << "+9999999";
        QTest::newRow("largest") << "TARGET" << "-9999999" << "-9999999";
        QTest::newRow("too large") << "TARGET" << "10000000" << "";
        QTest::newRow("huge") << "TARGET" << "99999999999999999999999" << "";
        QTest::newRow("field as is") << "RESET" << "-0000030" << "-0000030";
        QTest::newRow("debounce top") << "debounce0" << "999" << "+0000999";
        QTest::newRow("debounce over") << "DEBOUNCE1" << "1000" << "";
        QTest::newRow("debounce negative") << "DEBOUNCE2" << "-1" << "";
        QTest::newRow("debounce field wrong shape") << "DEBOUNCE0" << "+0001234" << "";
        QTest::newRow("debounce old name") << "DEBOUNCE(2)" << "+0000070" << "+0000070";
        QTest::newRow("alarm") << "Alarm" << "9" << "+0000009";
        QTest::newRow("alarm over") << "ALARM" << "10" << "";
        QTest::newRow("letters in field") << "TARGET" << "+12ab567" << "";
        QTest::newRow("no sign field") << "TARGET" << "12345678" << "";
        QTest::newRow("empty") << "TARGET" << "" << "";
        QTest::newRow("bare sign") << "TARGET" << "-" << "";
        QTest::newRow("space") << "TARGET" << " 12" << "";
        QTest::newRow("decimal") << "TARGET" << "1.5" << "";
        QTest::newRow("hex") << "TARGET" << "0x10" << "";
        QTest::newRow("other digits") << "TARGET" << QString::fromUtf8("\xd9\xa1\xd9\xa2") << "";
        QTest::newRow("difference") << "DIFFERENCE" << "5" << "";
    }
    void valueField()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(QString, field);
        const Parameter *p = parameterByName(name);
        QVERIFY(p);
        QString why;
        QCOMPARE(valueFieldFor(*p, text, &why), field);
        QCOMPARE(why.isEmpty(), !field.isEmpty());
    }

    void unknownNames()
    {
        for (const char *name : {"", "TARGE", "DEBOUNCE3", "DEBOUNCE", "TARGET ", "2"})
            QVERIFY2(!parameterByName(QLatin1String(name)), name);
    }

    void backupRoundTrip()
    {
        Backup b;
        b.created = QStringLiteral("2026-12-07T15:16:29Z");
        b.tool = QStringLiteral("kestran-ctl 0.1");
        b.port = QStringLiteral("/dev/ttyUSB0");
        b.devices.append({5, {{'0', "+0001000"}, {'2', "-0000100"}, {'4', "+0000050"}, {'7', "+0000001"}}});
        b.devices.append({0, {{'3', "-0000010"}}});
        Backup back;
        QString why;
        QVERIFY2(parseBackup(b.toJson(), &back, &why), qPrintable(why));
        QCOMPARE(back.port, b.port);
        QCOMPARE(back.devices.size(), 2);
        QCOMPARE(back.find(5)->values, b.devices[0].values);
        QCOMPARE(back.find(0)->values, b.devices[1].values);
        QVERIFY(!back.find(1));
    }

    void backupRefused_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("place");
        const QByteArray head = R"({"format":"kestran-backup","version":1,)";
        QTest::newRow("not json") << QByteArray("{\n  \"format\": \"kestran-backup\",\n  oops\n}") << "line 3, column";
        QTest::newRow("empty") << QByteArray() << "line 1, column 1";
        QTest::newRow("array") << QByteArray("[]") << "top level";
        QTest::newRow("other format") << QByteArray(R"({"format":"other","version":1,"devices":[]})") << "format";
        QTest::newRow("no format") << QByteArray(R"({"version":1,"devices":[]})") << "format";
        QTest::newRow("version 2") << QByteArray(R"({"format":"kestran-backup","version":2,"devices":[]})") << "version 2";
        QTest::newRow("version text") << QByteArray(R"({"format":"kestran-backup","version":"1","devices":[]})") << "version: must be a number such as 1, without quotes";
        QTest::newRow("no devices") << head + "\"x\":1}" << "devices";
        QTest::newRow("device 8") << head + R"("devices":[{"device":8,"values":{}}]})" << "devices[0].device";
        QTest::newRow("device 1e41") << head + R"("devices":[{"device":1e41,"values":{}}]})" << "devices[0].device";
        QTest::newRow("device 1.5") << head + R"("devices":[{"device":1.5,"values":{}}]})" << "devices[0].device";
        QTest::newRow("device twice") << head + R"("devices":[{"device":1,"values":{"ALARM":"+0000001"}},{"device":1,"values":{}}]})"
                                      << "devices[1].device";
        QTest::newRow("no values") << head + R"("devices":[{"device":1,"values":{}}]})"
                                   << "devices[0].values: device 1 holds no value";
        QTest::newRow("unknown name") << head + R"("devices":[{"device":1,"values":{"TARGET":"+0000001","SPEED":"+0000001"}}]})"
                                      << "devices[0].values.SPEED: unknown name";
        QTest::newRow("name twice") << head + R"x("devices":[{"device":1,"values":{"DEBOUNCE0":"+0000001","debounce(0)":"+0000001"}}]})x"
                                    << "given twice";
        QTest::newRow("no shape") << head + R"("devices":[{"device":3,"values":{"DEBOUNCE1":"+0010000"}}]})"
                                  << "devices[0].values.DEBOUNCE1";
        QTest::newRow("number not text") << head + R"("devices":[{"device":3,"values":{"ALARM":1}}]})"
                                         << "devices[0].values.ALARM";
        QTest::newRow("letters") << head + R"("devices":[{"device":3,"values":{"TARGET":"+12ab567"}}]})"
                                 << "devices[0].values.TARGET";
        QTest::newRow("short difference") << head + R"("devices":[{"device":3,"values":{"DIFFERENCE":"+1"}}]})"
                                          << "devices[0].values.DIFFERENCE";
    }
    void backupRefused()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, place);
        Backup b;
        QString why;
        QVERIFY(!parseBackup(json, &b, &why));
        QVERIFY2(why.contains(place), qPrintable(why));
    }
};

QTEST_GUILESS_MAIN(TestValues)
#include "tst_values.moc"
