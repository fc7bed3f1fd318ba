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

void writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
    f.write(content);
}

// A tree shaped like /sys/class/tty, /sys/devices and /dev.
class FakeSystem {
public:
    FakeSystem()
    {
        for (const char *dir : {"sys/class/tty", "sys/bus/drivers/serial", "dev", "lock"})
            QDir(root()).mkpath(QLatin1String(dir));
    }
    QString root() const { return m_dir.path(); }
    QString path(const QString &relative) const { return m_dir.filePath(relative); }
    QString dev(const QString &name) const { return path(QStringLiteral("dev/") + name); }
    PortTable table() const
    {
        return PortTable(path(QStringLiteral("sys/class/tty")), path(QStringLiteral("dev")), path(QStringLiteral("lock")));
    }

    // One tty: `node` its /dev node, `deviceLink` a parent device, `driver` that
    // parent bound to a driver, `uartType` (ttyS only) the "type" attribute or
    // -1 for none, `product` the USB product name.
    void add(const QString &name, bool node = true, bool deviceLink = true, bool driver = true, int uartType = 4,
             const QString &product = QString())
    {
        // USB adapters sit below the USB device that names the product.
        const QString usbDevice = QStringLiteral("sys/devices/usb1/1-%1").arg(++m_serial);
        const QString parent = product.isEmpty()
                ? QStringLiteral("sys/devices/platform/%1-parent").arg(name)
                : usbDevice + QStringLiteral("/1-%1:1.0/%2").arg(m_serial).arg(name);
        const QString entry = QStringLiteral("sys/class/tty/") + name;
        QVERIFY(QDir(root()).mkpath(parent) && QDir(root()).mkpath(entry));
        if (!product.isEmpty()) {
            writeFile(path(usbDevice + QStringLiteral("/product")), product.toUtf8() + '\n');
            writeFile(path(usbDevice + QStringLiteral("/1-%1:1.0/interface").arg(m_serial)), "Interface\n");
        }
        if (driver)
            QVERIFY(QFile::link(path(QStringLiteral("sys/bus/drivers/serial")), path(parent + QStringLiteral("/driver"))));
        if (deviceLink)
            QVERIFY(QFile::link(path(parent), path(entry + QStringLiteral("/device"))));
        if (uartType >= 0 && name.startsWith(QLatin1String("ttyS")))
            writeFile(path(entry + QStringLiteral("/type")), QByteArray::number(uartType) + '\n');
        if (node)
            writeFile(dev(name), QByteArray());
    }
    void addAll(const char *names)
    {
        for (const QString &n : QString::fromLatin1(names).split(QLatin1Char(' ')))
            add(n);
    }

private:
    QTemporaryDir m_dir;
    int m_serial = 0;
};

// The ports COMPortExists reports with `table` in use.
QList<int> existingPorts(PortTable &table)
{
    mdlCOMPort::setPortTable(&table);
    QList<int> found;
    for (int n = -1; n <= 300; ++n) {
        if (mdlCOMPort::COMPortExists(short(n)))
            found.append(n);
    }
    mdlCOMPort::setPortTable(nullptr);
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
    void onlyOpenablePortsUpTo255Exist();
    void familyOrderAndDescription();
    void lockFiles_data();
    void lockFiles();
    void lockNamedByDevice_data();
    void lockNamedByDevice();
    void accessIsChecked();
    void extraDeviceAfterRealOnes();
    void parsePortText_data();
    void parsePortText();
};

void TestPortDiscovery::onlyOpenablePortsUpTo255Exist()
{
    FakeSystem sys;
    for (int i = 0; i < 260; ++i)   // COM2 and COM201 have no node
        sys.add(QStringLiteral("ttyUSB%1").arg(i), i != 1 && i != 200);
    PortTable table = sys.table();
    QCOMPARE(table.count(), 260);
    // Numeric, not alphabetical: ttyUSB10 and ttyUSB11 come after ttyUSB9.
    QCOMPARE(table.device(12)->path, sys.dev(QStringLiteral("ttyUSB11")));
    QCOMPARE(table.comNumberOf(sys.dev(QStringLiteral("ttyUSB2"))), 3);
    QCOMPARE(table.comNumberOf(QStringLiteral("/dev/ttyUSB2")), 0);
    QVERIFY(table.canOpenNow(256));   // the table has it, COMPortExists never asks

    QList<int> expected;
    for (int n = 1; n <= 255; ++n) {
        if (n != 2 && n != 201)
            expected.append(n);
    }
    QCOMPARE(existingPorts(table), expected);

    PortTable empty(sys.path(QStringLiteral("nothing")), sys.path(QStringLiteral("dev")), sys.path(QStringLiteral("lock")));
    QCOMPARE(empty.count(), 0);
    QCOMPARE(existingPorts(empty), QList<int>());
}

void TestPortDiscovery::familyOrderAndDescription()
{
    FakeSystem sys;
    sys.addAll("rfcomm0 ttyACM1 ttyXRUSB0 ttyACM0 ttyUSB10 ttyS1 ttyAMA0 ttyGS0");
    sys.add(QStringLiteral("ttyUSB2"), true, true, true, 4, QStringLiteral("FT232R USB UART"));
    // Present in sysfs but not serial devices of their own.
    sys.add(QStringLiteral("ttyS0"), true, true, true, 0);      // no UART behind it
    sys.add(QStringLiteral("ttyS2"), true, true, true, -1);     // no type attribute
    sys.add(QStringLiteral("tty1"), true, false);               // virtual terminal
    sys.add(QStringLiteral("ptmx"), true, false);
    sys.add(QStringLiteral("ttyUSB5"), true, true, false);      // parent without driver
    writeFile(sys.path(QStringLiteral("sys/class/tty/stray-file")), "x");

    PortTable table = sys.table();
    QStringList order;
    for (int n = 1; n <= table.count(); ++n)
        order.append(table.device(n)->path.section(QLatin1Char('/'), -1));
    QCOMPARE(order.join(QLatin1Char(' ')), QStringLiteral("ttyS1 ttyUSB2 ttyUSB10 ttyACM0 ttyACM1 ttyAMA0 rfcomm0 ttyGS0 ttyXRUSB0"));
    QVERIFY(!table.device(0));
    QVERIFY(!table.device(10));
    QCOMPARE(table.device(1)->description, QString());
    QCOMPARE(table.device(2)->description, QStringLiteral("FT232R USB UART"));

    // A device that appears later is found by a rescan.
    sys.add(QStringLiteral("ttyUSB0"));
    table.rescan();
    QCOMPARE(table.count(), 10);
    QCOMPARE(table.device(2)->path, sys.dev(QStringLiteral("ttyUSB0")));
}

void TestPortDiscovery::lockFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("canOpen");
    const QByteArray self = QByteArray::number(qint64(getpid()));
    const QByteArray dead = QByteArray::number(reapedPid());
    const int selfInt = int(getpid());
    const int deadInt = dead.toInt();
    QTest::newRow("live, text") << self + "\n" << false;
    QTest::newRow("live, padded text") << QByteArray::number(qint64(getppid())).rightJustified(10, ' ') + "\n" << false;
    QTest::newRow("live, text with program name") << self + "\nminicom\nhost\n" << false;
    QTest::newRow("live, binary") << QByteArray(reinterpret_cast<const char *>(&selfInt), 4) << false;
    QTest::newRow("stale, text") << dead + "\n" << true;
    QTest::newRow("stale, binary") << QByteArray(reinterpret_cast<const char *>(&deadInt), 4) << true;
    // A binary pid whose first byte reads as "1" (init, always alive) must not be taken for text.
    QTest::newRow("stale, binary starting with a digit") << QByteArray("1\0\0\x40", 4) << true;
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("zero pid") << QByteArray("0\n") << true;
}

void TestPortDiscovery::lockFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, canOpen);
    FakeSystem sys;
    sys.addAll("ttyUSB0 ttyUSB1");
    writeFile(sys.path(QStringLiteral("lock/LCK..ttyUSB0")), content);
    PortTable table = sys.table();
    QCOMPARE(table.canOpenNow(1), canOpen);
    QVERIFY(table.canOpenNow(2));   // another port's lock is not this one's
}

// The table's node is a link to the device in a subfolder: the lock of the
// device counts under its own name (as the port takes it) and under the link's.
void TestPortDiscovery::lockNamedByDevice_data()
{
    QTest::addColumn<QString>("lockName");
    QTest::addColumn<bool>("canOpen");
    QTest::newRow("device's name") << "real_ttyX" << false;
    QTest::newRow("link's name") << "ttyUSB0" << false;
    QTest::newRow("last part only") << "ttyX" << true;
}

void TestPortDiscovery::lockNamedByDevice()
{
    QFETCH(QString, lockName);
    QFETCH(bool, canOpen);
    FakeSystem sys;
    sys.addAll("ttyUSB0");
    QVERIFY(QFile::remove(sys.dev(QStringLiteral("ttyUSB0"))));
    QVERIFY(QDir(sys.root()).mkpath(QStringLiteral("dev/real")));
    writeFile(sys.dev(QStringLiteral("real/ttyX")), QByteArray());
    QVERIFY(QFile::link(sys.dev(QStringLiteral("real/ttyX")), sys.dev(QStringLiteral("ttyUSB0"))));
    writeFile(sys.path(QStringLiteral("lock/LCK..") + lockName), QByteArray::number(qint64(getpid())) + "\n");
    PortTable table = sys.table();
    QCOMPARE(table.lockNameOf(sys.dev(QStringLiteral("ttyUSB0"))), QStringLiteral("real_ttyX"));
    QCOMPARE(table.canOpenNow(1), canOpen);
}

void TestPortDiscovery::accessIsChecked()
{
    FakeSystem sys;
    sys.addAll("ttyUSB0 ttyUSB1");
    const QByteArray closed = QFile::encodeName(sys.dev(QStringLiteral("ttyUSB0")));
    QCOMPARE(chmod(closed.constData(), 0600), 0);
    QCOMPARE(chmod(QFile::encodeName(sys.dev(QStringLiteral("ttyUSB1"))).constData(), 0666), 0);
    PortTable table = sys.table();
    if (geteuid() != 0) {
        QCOMPARE(chmod(closed.constData(), 0000), 0);
        QVERIFY(!table.canOpenNow(1));
        QVERIFY(table.canOpenNow(2));
        return;
    }
    // Root may open anything; ask as an ordinary user in a child process,
    // with a root-owned 0600 node for which that user has no rights. The
    // folders on the way only gain search permission (not 0755: one is /tmp).
    for (QString dir = sys.root(); dir != QLatin1String("/"); dir = QFileInfo(dir).path()) {
        struct stat st;
        const QByteArray native = QFile::encodeName(dir);
        if (stat(native.constData(), &st) == 0)
            chmod(native.constData(), (st.st_mode & 07777) | S_IXOTH);
    }
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        _exit((table.canOpenNow(1) ? 0 : 1) | (table.canOpenNow(2) ? 0 : 2));
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 1);   // node 1 refused, node 2 allowed
}

void TestPortDiscovery::extraDeviceAfterRealOnes()
{
    FakeSystem sys;
    sys.addAll("ttyUSB0 ttyACM0");
    const QString simPath = sys.dev(QStringLiteral("sim-line"));
    writeFile(simPath, QByteArray());
    // A lock file of a live process with the extra line's name does not count.
    writeFile(sys.path(QStringLiteral("lock/LCK..sim-line")), QByteArray::number(qint64(getpid())) + "\n");
    PortTable table = sys.table();
    table.appendExtra({simPath, QStringLiteral("simulated counter")});
    QCOMPARE(table.count(), 3);
    QCOMPARE(table.device(3)->path, simPath);
    QCOMPARE(table.device(3)->description, QStringLiteral("simulated counter"));
    table.rescan();
    QCOMPARE(table.count(), 3);
    QCOMPARE(table.comNumberOf(simPath), 3);

    QCOMPARE(existingPorts(table), (QList<int>{1, 2, 3}));
    QFile::remove(simPath);
    QCOMPARE(existingPorts(table), (QList<int>{1, 2}));
}

void TestPortDiscovery::parsePortText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<kestran::PortText::Kind>("kind");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("problemMentions");   // for Invalid
    QTest::addColumn<QString>("host");              // for Tcp and Rfc2217
    QTest::addColumn<int>("tcpPort");
    using K = PortText;
    QTest::newRow("COM1") << "COM1" << K::Com << 1 << "" << "" << "" << 0;
    QTest::newRow("COM255") << "COM255" << K::Com << 255 << "" << "" << "" << 0;
    QTest::newRow("COM12 with spaces") << "  COM12 " << K::Com << 12 << "" << "" << "" << 0;
    QTest::newRow("device path") << "/dev/ttyUSB0" << K::Path << 0 << "/dev/ttyUSB0" << "" << "" << 0;
    QTest::newRow("pty path") << " /dev/pts/3" << K::Path << 0 << "/dev/pts/3" << "" << "" << 0;
    QTest::newRow("path holding ://") << "/dev/serial/by-id/tcp://x:1" << K::Path << 0 << "/dev/serial/by-id/tcp://x:1" << "" << "" << 0;
    QTest::newRow("COM0") << "COM0" << K::Invalid << 0 << "" << "1 to 255" << "" << 0;
    QTest::newRow("COM256") << "COM256" << K::Invalid << 0 << "" << "1 to 255" << "" << 0;
    QTest::newRow("COM70000") << "COM70000" << K::Invalid << 0 << "" << "1 to 255" << "" << 0;
    QTest::newRow("huge number") << "COM99999999999999999999" << K::Invalid << 0 << "" << "1 to 255" << "" << 0;
    QTest::newRow("COM alone") << "COM" << K::Invalid << 0 << "" << "number" << "" << 0;
    QTest::newRow("short text") << "CO" << K::Invalid << 0 << "" << "number" << "" << 0;
    QTest::newRow("blank") << "   " << K::Invalid << 0 << "" << "COM1" << "" << 0;
    QTest::newRow("COMx") << "COMx" << K::Invalid << 0 << "" << "COMx" << "" << 0;
    QTest::newRow("lower case") << "com3" << K::Com << 3 << "" << "" << "" << 0;
    QTest::newRow("mixed case") << "Com3" << K::Com << 3 << "" << "" << "" << 0;
    QTest::newRow("blank before number") << "COM 3" << K::Com << 3 << "" << "" << "" << 0;
    QTest::newRow("plus sign") << "COM+3" << K::Com << 3 << "" << "" << "" << 0;
    QTest::newRow("leading zeros") << "COM007" << K::Com << 7 << "" << "" << "" << 0;
    QTest::newRow("trailing letter") << "COM1a" << K::Invalid << 0 << "" << "COM1a" << "" << 0;
    QTest::newRow("minus sign") << "COM-1" << K::Invalid << 0 << "" << "1 to 255" << "" << 0;
    QTest::newRow("sign alone") << "COM+" << K::Invalid << 0 << "" << "COM+" << "" << 0;
    QTest::newRow("blank inside number") << "COM1 2" << K::Invalid << 0 << "" << "COM1 2" << "" << 0;
    QTest::newRow("bare device name") << "ttyUSB0" << K::Invalid << 0 << "" << "/dev/ttyUSB0" << "" << 0;
    QTest::newRow("list text") << "Combo1" << K::Invalid << 0 << "" << "Combo1" << "" << 0;

    // Network gateways: the text itself is the path handed on.
    QTest::newRow("tcp, IPv4") << "tcp://192.168.1.20:4001" << K::Tcp << 0 << "tcp://192.168.1.20:4001" << "" << "192.168.1.20" << 4001;
    QTest::newRow("rfc2217, name") << " rfc2217://gw-3.plant.example:2217 " << K::Rfc2217 << 0
                                   << "rfc2217://gw-3.plant.example:2217" << "" << "gw-3.plant.example" << 2217;
    QTest::newRow("IPv6, upper-case scheme") << "TCP://[fe80::1]:1" << K::Tcp << 0 << "TCP://[fe80::1]:1" << "" << "fe80::1" << 1;
    QTest::newRow("port 65535, trailing slash") << "tcp://localhost:65535/" << K::Tcp << 0 << "tcp://localhost:65535/" << "" << "localhost" << 65535;
    QTest::newRow("tls, name") << "tls://gw-3.plant.example:3001" << K::Tls << 0
                               << "tls://gw-3.plant.example:3001" << "" << "gw-3.plant.example" << 3001;
    QTest::newRow("rfc2217+tls, IPv6") << "RFC2217+TLS://[fd00::20]:3004" << K::Rfc2217Tls << 0
                                       << "RFC2217+TLS://[fd00::20]:3004" << "" << "fd00::20" << 3004;
    QTest::newRow("tls without port") << "tls://gw" << K::Invalid << 0 << "" << "tls://HOST:PORT" << "" << 0;
    QTest::newRow("tls the other way round") << "tls+rfc2217://gw:1" << K::Invalid << 0 << "" << "unknown" << "" << 0;
    QTest::newRow("port 0") << "tcp://gw:0" << K::Invalid << 0 << "" << "1 to 65535" << "" << 0;
    QTest::newRow("port 65536") << "rfc2217://gw:65536" << K::Invalid << 0 << "" << "1 to 65535" << "" << 0;
    QTest::newRow("huge port") << "tcp://gw:99999999999999999999" << K::Invalid << 0 << "" << "1 to 65535" << "" << 0;
    QTest::newRow("no port") << "tcp://gw" << K::Invalid << 0 << "" << "tcp://HOST:PORT" << "" << 0;
    QTest::newRow("empty port") << "tcp://gw:" << K::Invalid << 0 << "" << "port number" << "" << 0;
    QTest::newRow("port not a number") << "tcp://gw:http" << K::Invalid << 0 << "" << "tcp://gw:http" << "" << 0;
    QTest::newRow("no host") << "rfc2217://:4001" << K::Invalid << 0 << "" << "host" << "" << 0;
    QTest::newRow("unknown scheme") << "telnet://gw:23" << K::Invalid << 0 << "" << "telnet" << "" << 0;
    QTest::newRow("IPv6 without brackets") << "tcp://fe80::1:4001" << K::Invalid << 0 << "" << "brackets" << "" << 0;
    QTest::newRow("IPv6 unclosed") << "tcp://[fe80::1:4001" << K::Invalid << 0 << "" << "]" << "" << 0;
    QTest::newRow("IPv4 in brackets") << "tcp://[10.0.0.1]:4001" << K::Invalid << 0 << "" << "IPv6" << "" << 0;
    QTest::newRow("bad IPv4") << "tcp://10.0.0.256:4001" << K::Invalid << 0 << "" << "IPv4" << "" << 0;
    QTest::newRow("path after port") << "tcp://gw:4001/x" << K::Invalid << 0 << "" << "port number" << "" << 0;
    QTest::newRow("user in URL") << "tcp://me@gw:4001" << K::Invalid << 0 << "" << "host name" << "" << 0;
    QTest::newRow("blank in host") << "tcp://g w:4001" << K::Invalid << 0 << "" << "host name" << "" << 0;
}

void TestPortDiscovery::parsePortText()
{
    QFETCH(QString, text);
    QFETCH(kestran::PortText::Kind, kind);
    QFETCH(int, number);
    QFETCH(QString, path);
    QFETCH(QString, problemMentions);
    QFETCH(QString, host);
    QFETCH(int, tcpPort);
    const PortText p = kestran::parsePortText(text);
    QCOMPARE(p.kind, kind);
    QCOMPARE(int(p.number), number);
    QCOMPARE(p.path, path);
    QCOMPARE(p.host, host);
    QCOMPARE(int(p.tcpPort), tcpPort);
    // Invalid text says what is wrong; valid text has no problem ("" is in every text).
    QVERIFY2(p.problem.contains(problemMentions), qPrintable(p.problem));
    QCOMPARE(p.problem.isEmpty(), kind != PortText::Invalid);
}

QTEST_GUILESS_MAIN(TestPortDiscovery)
#include "tst_portdiscovery.moc"
