// Port discovery over a made-up sysfs and /dev laid out in a temporary folder,
// and the reading of the port box's text.
#include "mdlcomport.h"
#include "portname.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kestran;

Q_DECLARE_METATYPE(kestran::PortText::Kind)

namespace {

struct FakeTty {
    QString name;
    bool deviceLink = true;   // has a parent device
    bool driver = true;       // the parent device is bound to a driver
    int uartType = 4;         // ttyS only: the "type" attribute, -1 for none
    bool node = true;         // /dev node present
    QString product;          // USB product name ("" for none)
};

FakeTty tty(const QString &name, bool deviceLink = true, bool driver = true, int uartType = 4)
{
    FakeTty t;
    t.name = name;
    t.deviceLink = deviceLink;
    t.driver = driver;
    t.uartType = uartType;
    return t;
}

// A tree shaped like /sys/class/tty, /sys/devices and /dev.
class FakeSystem {
public:
    FakeSystem()
    {
        QDir root(m_dir.path());
        root.mkpath(QStringLiteral("sys/class/tty"));
        root.mkpath(QStringLiteral("sys/bus/drivers/serial"));
        root.mkpath(QStringLiteral("dev"));
        root.mkpath(QStringLiteral("lock"));
    }

    QString sysClassTty() const { return m_dir.filePath(QStringLiteral("sys/class/tty")); }
    QString devDir() const { return m_dir.filePath(QStringLiteral("dev")); }
    QString lockDir() const { return m_dir.filePath(QStringLiteral("lock")); }
    QString root() const { return m_dir.path(); }

    void add(const FakeTty &t)
    {
        QDir root(m_dir.path());
        // USB adapters sit below the USB device that names the product.
        const QString usbDevice = QStringLiteral("sys/devices/usb1/1-%1").arg(++m_serial);
        const QString parent = t.product.isEmpty()
                ? QStringLiteral("sys/devices/platform/%1-parent").arg(t.name)
                : usbDevice + QStringLiteral("/1-%1:1.0/%2").arg(m_serial).arg(t.name);
        QVERIFY(root.mkpath(parent));
        if (!t.product.isEmpty()) {
            writeFile(root.filePath(usbDevice + QStringLiteral("/product")), t.product.toUtf8() + '\n');
            writeFile(root.filePath(usbDevice + QStringLiteral("/1-%1:1.0/interface").arg(m_serial)), "Interface\n");
        }
        if (t.driver)
            QVERIFY(QFile::link(root.filePath(QStringLiteral("sys/bus/drivers/serial")),
                                root.filePath(parent + QStringLiteral("/driver"))));
        const QString entry = QStringLiteral("sys/class/tty/") + t.name;
        QVERIFY(root.mkpath(entry));
        if (t.deviceLink)
            QVERIFY(QFile::link(root.filePath(parent), root.filePath(entry + QStringLiteral("/device"))));
        if (t.uartType >= 0 && t.name.startsWith(QLatin1String("ttyS")))
            writeFile(root.filePath(entry + QStringLiteral("/type")), QByteArray::number(t.uartType) + '\n');
        if (t.node)
            writeFile(root.filePath(QStringLiteral("dev/") + t.name), QByteArray());
    }

    void addUsb(int from, int to, const QSet<int> &withNode = {}, bool allNodes = false)
    {
        for (int i = from; i <= to; ++i) {
            FakeTty t;
            t.name = QStringLiteral("ttyUSB%1").arg(i);
            t.node = allNodes || withNode.contains(i);
            add(t);
        }
    }

    static void writeFile(const QString &path, const QByteArray &content)
    {
        QFile f(path);
        QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
        f.write(content);
    }

private:
    QTemporaryDir m_dir;
    int m_serial = 0;
};

// Installs a table for COMPortExists for the scope of a test.
struct TableInUse {
    explicit TableInUse(PortTable *t) { mdlCOMPort::setPortTable(t); }
    ~TableInUse() { mdlCOMPort::setPortTable(nullptr); }
};

QList<int> existingPorts()
{
    QList<int> found;
    for (int n = -1; n <= 300; ++n) {
        if (mdlCOMPort::COMPortExists(short(n)))
            found.append(n);
    }
    return found;
}

qint64 reapedPid()
{
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

} // namespace

class TestPortDiscovery : public QObject {
    Q_OBJECT
private slots:
    void onlyOpenablePortsExist();
    void port255IsTheLast();
    void familyOrder();
    void description();
    void lockFiles_data();
    void lockFiles();
    void accessIsChecked();
    void extraDeviceAfterRealOnes();
    void parsePortText_data();
    void parsePortText();
};

void TestPortDiscovery::onlyOpenablePortsExist()
{
    FakeSystem sys;
    sys.addUsb(0, 11, {0, 2, 11});   // COM1, COM3, COM12 have nodes
    PortTable table(sys.sysClassTty(), sys.devDir(), sys.lockDir());
    QCOMPARE(table.count(), 12);
    // Numeric, not alphabetical: ttyUSB10 and ttyUSB11 come after ttyUSB9.
    QCOMPARE(table.device(12)->path, sys.devDir() + QStringLiteral("/ttyUSB11"));
    QCOMPARE(table.comNumberOf(sys.devDir() + QStringLiteral("/ttyUSB2")), 3);
    QCOMPARE(table.comNumberOf(QStringLiteral("/dev/ttyUSB2")), 0);

    TableInUse use(&table);
    QCOMPARE(existingPorts(), (QList<int>{1, 3, 12}));

    PortTable empty(sys.root() + QStringLiteral("/nothing"), sys.devDir(), sys.lockDir());
    mdlCOMPort::setPortTable(&empty);
    QCOMPARE(empty.count(), 0);
    QCOMPARE(existingPorts(), QList<int>());
}

void TestPortDiscovery::port255IsTheLast()
{
    FakeSystem sys;
    sys.addUsb(0, 259, {}, true);
    PortTable table(sys.sysClassTty(), sys.devDir(), sys.lockDir());
    QCOMPARE(table.count(), 260);
    QVERIFY(table.canOpenNow(256));   // the table has it, COMPortExists never asks

    TableInUse use(&table);
    QList<int> all;
    for (int n = 1; n <= 255; ++n)
        all.append(n);
    QCOMPARE(existingPorts(), all);
    QVERIFY(mdlCOMPort::COMPortExists(255));
    QVERIFY(!mdlCOMPort::COMPortExists(0));
    QVERIFY(!mdlCOMPort::COMPortExists(256));
    QVERIFY(!mdlCOMPort::COMPortExists(-1));
}

void TestPortDiscovery::familyOrder()
{
    FakeSystem sys;
    const QStringList names = {QStringLiteral("rfcomm0"), QStringLiteral("ttyACM1"), QStringLiteral("ttyXRUSB0"),
                               QStringLiteral("ttyACM0"), QStringLiteral("ttyUSB10"), QStringLiteral("ttyS1"),
                               QStringLiteral("ttyUSB2"), QStringLiteral("ttyAMA0"), QStringLiteral("ttyGS0")};
    for (const QString &n : names)
        sys.add(tty(n));
    // Present in sysfs but not serial devices of their own.
    sys.add(tty(QStringLiteral("ttyS0"), true, true, 0));          // no UART behind it
    sys.add(tty(QStringLiteral("ttyS2"), true, true, -1));         // no type attribute
    sys.add(tty(QStringLiteral("tty1"), false));                   // virtual terminal
    sys.add(tty(QStringLiteral("ptmx"), false));
    sys.add(tty(QStringLiteral("ttyUSB5"), true, false));          // parent without driver
    FakeSystem::writeFile(sys.sysClassTty() + QStringLiteral("/stray-file"), "x");

    PortTable table(sys.sysClassTty(), sys.devDir(), sys.lockDir());
    QStringList order;
    for (int n = 1; n <= table.count(); ++n)
        order.append(table.device(n)->path.section(QLatin1Char('/'), -1));
    QCOMPARE(order, (QStringList{QStringLiteral("ttyS1"), QStringLiteral("ttyUSB2"), QStringLiteral("ttyUSB10"),
                                 QStringLiteral("ttyACM0"), QStringLiteral("ttyACM1"), QStringLiteral("ttyAMA0"),
                                 QStringLiteral("rfcomm0"), QStringLiteral("ttyGS0"), QStringLiteral("ttyXRUSB0")}));
    QVERIFY(!table.device(0));
    QVERIFY(!table.device(10));

    // A device that appears later is found by a rescan.
    sys.add(tty(QStringLiteral("ttyUSB0")));
    table.rescan();
    QCOMPARE(table.count(), 10);
    QCOMPARE(table.device(2)->path, sys.devDir() + QStringLiteral("/ttyUSB0"));
}

void TestPortDiscovery::description()
{
    FakeSystem sys;
    FakeTty usb = tty(QStringLiteral("ttyUSB0"));
    usb.product = QStringLiteral("FT232R USB UART");
    sys.add(usb);
    sys.add(tty(QStringLiteral("ttyS4")));
    PortTable table(sys.sysClassTty(), sys.devDir(), sys.lockDir());
    QCOMPARE(table.count(), 2);
    QCOMPARE(table.device(1)->description, QString());
    QCOMPARE(table.device(2)->description, QStringLiteral("FT232R USB UART"));
}

void TestPortDiscovery::lockFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("canOpen");
    const QByteArray self = QByteArray::number(qint64(getpid()));
    const QByteArray parent = QByteArray::number(qint64(getppid()));
    const QByteArray dead = QByteArray::number(reapedPid());
    const int selfInt = int(getpid());
    const int deadInt = int(dead.toInt());
    QTest::newRow("live, text") << self + "\n" << false;
    QTest::newRow("live, padded text") << parent.rightJustified(10, ' ') + "\n" << false;
    QTest::newRow("live, text with program name") << self + "\nminicom\nhost\n" << false;
    QTest::newRow("live, binary") << QByteArray(reinterpret_cast<const char *>(&selfInt), 4) << false;
    QTest::newRow("stale, text") << dead + "\n" << true;
    QTest::newRow("stale, binary") << QByteArray(reinterpret_cast<const char *>(&deadInt), 4) << true;
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("zero pid") << QByteArray("0\n") << true;
}

void TestPortDiscovery::lockFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, canOpen);
    FakeSystem sys;
    sys.add(tty(QStringLiteral("ttyUSB0")));
    sys.add(tty(QStringLiteral("ttyUSB1")));
    FakeSystem::writeFile(sys.lockDir() + QStringLiteral("/LCK..ttyUSB0"), content);
    PortTable table(sys.sysClassTty(), sys.devDir(), sys.lockDir());
    QCOMPARE(table.canOpenNow(1), canOpen);
    QVERIFY(table.canOpenNow(2));   // another port's lock is not this one's
}

void TestPortDiscovery::accessIsChecked()
{
    FakeSystem sys;
    sys.add(tty(QStringLiteral("ttyUSB0")));
    sys.add(tty(QStringLiteral("ttyUSB1")));
    const QByteArray closed = QFile::encodeName(sys.devDir() + QStringLiteral("/ttyUSB0"));
    const QByteArray open = QFile::encodeName(sys.devDir() + QStringLiteral("/ttyUSB1"));
    QCOMPARE(chmod(closed.constData(), 0600), 0);
    QCOMPARE(chmod(open.constData(), 0666), 0);
    PortTable table(sys.sysClassTty(), sys.devDir(), sys.lockDir());

    if (geteuid() != 0) {
        QCOMPARE(chmod(closed.constData(), 0000), 0);
        QVERIFY(!table.canOpenNow(1));
        QVERIFY(table.canOpenNow(2));
        return;
    }
    // Root may open anything; ask as an ordinary user in a child process,
    // with a root-owned 0600 node for which that user has no rights.
    for (QString dir = sys.root(); dir != QLatin1String("/"); dir = QFileInfo(dir).path())
        chmod(QFile::encodeName(dir).constData(), 0755);
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        const int result = (table.canOpenNow(1) ? 0 : 1) | (table.canOpenNow(2) ? 0 : 2);
        _exit(result);
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 1);   // node 1 refused, node 2 allowed
}

void TestPortDiscovery::extraDeviceAfterRealOnes()
{
    FakeSystem sys;
    sys.add(tty(QStringLiteral("ttyUSB0")));
    sys.add(tty(QStringLiteral("ttyACM0")));
    const QString simPath = sys.devDir() + QStringLiteral("/sim-line");
    FakeSystem::writeFile(simPath, QByteArray());
    // A lock file of a live process with the extra line's name does not count.
    FakeSystem::writeFile(sys.lockDir() + QStringLiteral("/LCK..sim-line"),
                          QByteArray::number(qint64(getpid())) + "\n");
    PortTable table(sys.sysClassTty(), sys.devDir(), sys.lockDir());
    table.appendExtra({simPath, QStringLiteral("simulated counter")});
    QCOMPARE(table.count(), 3);
    QCOMPARE(table.device(3)->path, simPath);
    QCOMPARE(table.device(3)->description, QStringLiteral("simulated counter"));
    QVERIFY(table.canOpenNow(3));
    table.rescan();
    QCOMPARE(table.count(), 3);
    QCOMPARE(table.comNumberOf(simPath), 3);

    TableInUse use(&table);
    QCOMPARE(existingPorts(), (QList<int>{1, 2, 3}));
    QFile::remove(simPath);
    QCOMPARE(existingPorts(), (QList<int>{1, 2}));
}

void TestPortDiscovery::parsePortText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<kestran::PortText::Kind>("kind");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("problemMentions");   // for Invalid
    using K = PortText;
    QTest::newRow("COM1") << "COM1" << K::Com << 1 << "" << "";
    QTest::newRow("COM255") << "COM255" << K::Com << 255 << "" << "";
    QTest::newRow("COM12 with spaces") << "  COM12 " << K::Com << 12 << "" << "";
    QTest::newRow("device path") << "/dev/ttyUSB0" << K::Path << 0 << "/dev/ttyUSB0" << "";
    QTest::newRow("pty path") << " /dev/pts/3" << K::Path << 0 << "/dev/pts/3" << "";
    QTest::newRow("COM0") << "COM0" << K::Invalid << 0 << "" << "1 to 255";
    QTest::newRow("COM256") << "COM256" << K::Invalid << 0 << "" << "1 to 255";
    QTest::newRow("COM70000") << "COM70000" << K::Invalid << 0 << "" << "1 to 255";
    QTest::newRow("huge number") << "COM99999999999999999999" << K::Invalid << 0 << "" << "1 to 255";
    QTest::newRow("COM alone") << "COM" << K::Invalid << 0 << "" << "number";
    QTest::newRow("blank") << "   " << K::Invalid << 0 << "" << "COM1";
    QTest::newRow("COMx") << "COMx" << K::Invalid << 0 << "" << "COMx";
    QTest::newRow("lower case") << "com3" << K::Invalid << 0 << "" << "com3";
    QTest::newRow("trailing letter") << "COM1a" << K::Invalid << 0 << "" << "COM1a";
    QTest::newRow("sign") << "COM-1" << K::Invalid << 0 << "" << "COM-1";
    QTest::newRow("bare device name") << "ttyUSB0" << K::Invalid << 0 << "" << "/dev/ttyUSB0";
    QTest::newRow("list text") << "Combo1" << K::Invalid << 0 << "" << "Combo1";
}

void TestPortDiscovery::parsePortText()
{
    QFETCH(QString, text);
    QFETCH(kestran::PortText::Kind, kind);
    QFETCH(int, number);
    QFETCH(QString, path);
    QFETCH(QString, problemMentions);
    const PortText p = kestran::parsePortText(text);
    QCOMPARE(p.kind, kind);
    QCOMPARE(int(p.number), number);
    QCOMPARE(p.path, path);
    if (kind == PortText::Invalid) {
        QVERIFY2(p.problem.contains(problemMentions), qPrintable(p.problem));
    } else {
        QVERIFY(p.problem.isEmpty());
    }
}

QTEST_GUILESS_MAIN(TestPortDiscovery)
#include "tst_portdiscovery.moc"
