// The plant file reader and the snapshot reader: what they refuse and where
// they say it is, and what they accept.
#include "mdlcomport.h"
#include "plantfile.h"
#include "snapshot.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace kestran;

class TestPlant : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void acceptsPlant()
    {
        const QByteArray text = "# hall 2\n"
                                "[[line]]\n"
                                "name = \"press-3\"\n"
                                "port = \"  /dev/kestran-test-a \"   # trimmed\n"
                                "devices = [5, 0, 1]\n"
                                "\n"
                                "[[line]]\n"
                                "name = \"press_4.b\"\n"
                                "port = \"rfc2217://GW-hall2:4004\"\n";
        Plant plant;
        QString why;
        QVERIFY2(parsePlant(text, QStringLiteral("p.toml"), &plant, &why), qPrintable(why));
        QCOMPARE(plant.lines.size(), 2);
        QCOMPARE(plant.lines[0].name, QStringLiteral("press-3"));
        QCOMPARE(plant.lines[0].port, QStringLiteral("/dev/kestran-test-a"));
        QCOMPARE(plant.lines[0].devices, (QVector<int>{0, 1, 5}));
        QCOMPARE(plant.lines[0].fileLine, 2);
        QVERIFY(plant.lines[1].devices.isEmpty());
        QCOMPARE(plant.find(QStringLiteral("press_4.b"))->fileLine, 7);
    }

    // Every mistake is refused with the line it is on.
    void refusesPlant_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("said");
        const QByteArray a = "[[line]]\nname = \"a\"\nport = \"tcp://gw:4001\"\n";
        QTest::newRow("not TOML") << QByteArray("[[line]]\nname = \"a\"\nport = tcp\n") << "p.toml:3:";
        QTest::newRow("unknown key in a line") << a + "baud = 9600\n" << "p.toml:4: unknown key \u201Cbaud\u201D";
        QTest::newRow("unknown key at the top") << "title = \"x\"\n" + a << "p.toml:1: unknown key \u201Ctitle\u201D";
        QTest::newRow("line as a table") << QByteArray("[line]\nname = \"a\"\n") << "p.toml:1: \u201Cline\u201D must be written as [[line]]";
        QTest::newRow("no lines") << QByteArray("# nothing\n") << "p.toml:1: no [[line]]";
        QTest::newRow("duplicate name") << a + "[[line]]\nname = \"a\"\nport = \"tcp://gw:4002\"\n"
                                        << "p.toml:5: the name \u201Ca\u201D is already used on line 1";
        QTest::newRow("duplicate port, host in other case and other protocol")
            << a + "\n[[line]]\nname = \"b\"\nport = \"rfc2217://GW:4001\"\n" << "p.toml:7: port \u201Crfc2217://GW:4001\u201D is also the port of \u201Ca\u201D (line 1)";
        QTest::newRow("duplicate COM port") << QByteArray("[[line]]\nname = \"a\"\nport = \"COM200\"\n[[line]]\nname = \"b\"\nport = \"com200\"\n")
                                            << "p.toml:6: port \u201Ccom200\u201D is also the port of \u201Ca\u201D";
        QTest::newRow("bad port text") << QByteArray("[[line]]\nname = \"a\"\nport = \"tcp://gw:0\"\n") << "p.toml:3: port \u201Ctcp://gw:0\u201D";
        QTest::newRow("empty port") << QByteArray("[[line]]\nname = \"a\"\nport = \" \"\n") << "p.toml:3: port";
        QTest::newRow("port not a text") << QByteArray("[[line]]\nname = \"a\"\nport = 3\n") << "p.toml:3: port must be a text";
        QTest::newRow("no port") << QByteArray("\n[[line]]\nname = \"a\"\n") << "p.toml:2: line \u201Ca\u201D has no port";
        QTest::newRow("no name") << QByteArray("[[line]]\nport = \"COM1\"\n") << "p.toml:1: this line has no name";
        QTest::newRow("name with a space") << QByteArray("[[line]]\nname = \"press 3\"\nport = \"COM1\"\n") << "p.toml:2: name \u201Cpress 3\u201D";
        QTest::newRow("name with a control character") << QByteArray("[[line]]\nname = \"a\\u001b[2J\"\nport = \"COM1\"\n") << "\u201Ca\\x1b[2J\u201D";
        QTest::newRow("device 8") << a + "devices = [1,\n 8]\n" << "p.toml:5: a device number is a whole number from 0 to 7";
        QTest::newRow("device twice") << a + "devices = [1, 1]\n" << "p.toml:4: device 1 is listed twice";
        QTest::newRow("devices empty") << a + "devices = []\n" << "p.toml:4: devices must be a list";
        QTest::newRow("device as text") << a + "devices = [\"1\"]\n" << "p.toml:4: a device number";
        QTest::newRow("history key") << a + "[history]\ndatabase = \"x\"\nrequired = true\n" << "p.toml:6: unknown key \u201Crequired\u201D in history";
        QTest::newRow("history require") << a + "[history]\nrequire = \"yes\"\n" << "p.toml:5: require must be true or false";
        QTest::newRow("history database") << a + "[history]\ndatabase = 5\n" << "p.toml:5: database must be a text";
    }
    void refusesPlant()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, said);
        Plant plant;
        QString why;
        QVERIFY(!parsePlant(text, QStringLiteral("p.toml"), &plant, &why));
        QVERIFY2(why.contains(said), qPrintable(why));
    }

    // Two texts for one device: a link and its target are one port.
    void linkAndTargetAreOnePort()
    {
#ifdef Q_OS_WIN
        QSKIP("device links are a Linux matter");
#endif
        const QString target = dir.filePath(QStringLiteral("ttyFAKE0"));
        QFile f(target);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        QVERIFY(QFile::link(target, dir.filePath(QStringLiteral("by-id-link"))));
        const QByteArray text = QStringLiteral("[[line]]\nname = \"a\"\nport = \"%1\"\n[[line]]\nname = \"b\"\nport = \"%2\"\n")
                                    .arg(dir.filePath(QStringLiteral("by-id-link")), target).toUtf8();
        Plant plant;
        QString why;
        QVERIFY(!parsePlant(text, QStringLiteral("p.toml"), &plant, &why));
        QVERIFY2(why.startsWith(QStringLiteral("p.toml:6: port")), qPrintable(why));
    }

    // A snapshot written and read again gives the same lines and values; a
    // one-line backup reads as one line without a name.
    void snapshotRoundTrip()
    {
        Snapshot s;
        s.plant = true;
        s.created = QStringLiteral("2026-12-07T15:16:29+01:00");
        SavedDevice d;
        d.device = 5;
        d.values = {{'0', QStringLiteral("+0004000")}, {'7', QStringLiteral("+0000003")}};
        s.lines.append({QStringLiteral("press-3"), QStringLiteral("tcp://gw:4003"), {d}});
        s.lines.append({QStringLiteral("press-4"), QStringLiteral("COM4"), {}});
        Snapshot again;
        QString why;
        QVERIFY2(parseSnapshot(s.toJson(), &again, &why), qPrintable(why));
        QVERIFY(again.plant);
        QCOMPARE(again.lines.size(), 2);
        QCOMPARE(again.lines[0].port, QStringLiteral("tcp://gw:4003"));
        QCOMPARE(again.find(QStringLiteral("press-3"))->find(5)->values, d.values);
        QVERIFY(again.lines[1].devices.isEmpty());

        QVERIFY(parseSnapshot(R"({"format":"kestran-backup","version":1,"port":"COM2","devices":[{"device":1,"values":{"ALARM":"+0000002"}}]})",
                              &again, &why));
        QVERIFY(!again.plant);
        QCOMPARE(again.lines.size(), 1);
        QCOMPARE(again.lines[0].name, QString());
        QCOMPARE(again.lines[0].port, QStringLiteral("COM2"));
    }

    void refusesSnapshot_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("said");
        const QByteArray head = R"({"format":"kestran-backup","version":2,"lines":)";
        QTest::newRow("version 3") << QByteArray(R"({"format":"kestran-backup","version":3,"lines":[]})") << "version 3";
        QTest::newRow("no lines") << QByteArray(R"({"format":"kestran-backup","version":2})") << "lines: missing";
        QTest::newRow("unnamed line") << head + R"([{"port":"COM1","devices":[]}]})" << "lines[0].name";
        QTest::newRow("name twice") << head + R"([{"name":"a","port":"COM1","devices":[]},{"name":"a","port":"COM2","devices":[]}]})"
                                    << "lines[1].name: line \u201Ca\u201D is saved twice";
        QTest::newRow("unknown key") << head + R"([{"name":"a","port":"COM1","devices":[],"speed":1}]})" << "lines[0].speed";
        QTest::newRow("no port") << head + R"([{"name":"a","devices":[]}]})" << "lines[0].port";
        QTest::newRow("bad value") << head + R"([{"name":"a","port":"COM1","devices":[{"device":1,"values":{"ALARM":"+0000010"}}]}]})"
                                   << "lines[0].devices[0].values.ALARM";
        QTest::newRow("devices missing") << head + R"([{"name":"a","port":"COM1"}]})" << "lines[0].devices";
    }
    void refusesSnapshot()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, said);
        Snapshot s;
        QString why;
        QVERIFY(!parseSnapshot(json, &s, &why));
        QVERIFY2(why.contains(said), qPrintable(why));
    }
};

QTEST_GUILESS_MAIN(TestPlant)
#include "tst_plant.moc"
