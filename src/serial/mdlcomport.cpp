#include "mdlcomport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestran {

namespace {

// Families in the order their ports are numbered; every other name comes after
// them, alphabetically.
const char *const kFamilies[] = {"ttyS", "ttyUSB", "ttyACM", "ttyAMA", "rfcomm"};
constexpr int kFamilyCount = int(sizeof kFamilies / sizeof kFamilies[0]);

struct SortKey {
    int family;      // index in kFamilies, or kFamilyCount for the rest
    QString prefix;  // the name without its trailing number
    qint64 number;   // the trailing number, -1 when there is none
    QString name;
};

SortKey sortKeyOf(const QString &name)
{
    int digitsStart = int(name.size());
    while (digitsStart > 0 && name.at(digitsStart - 1).isDigit())
        --digitsStart;
    SortKey key;
    key.name = name;
    key.prefix = name.left(digitsStart);
    const QString digits = name.mid(digitsStart);
    key.number = digits.isEmpty() ? -1 : (digits.size() > 15 ? Q_INT64_C(999999999999999) : digits.toLongLong());
    key.family = kFamilyCount;
    for (int i = 0; i < kFamilyCount; ++i) {
        if (key.prefix == QLatin1String(kFamilies[i])) {
            key.family = i;
            break;
        }
    }
    return key;
}

bool sortsBefore(const SortKey &a, const SortKey &b)
{
    if (a.family != b.family)
        return a.family < b.family;
    if (a.prefix != b.prefix)
        return a.prefix < b.prefix;
    if (a.number != b.number)
        return a.number < b.number;
    return a.name < b.name;
}

QString readAttribute(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.read(4096)).trimmed();
}

bool existsOrIsLink(const QString &path)
{
    const QFileInfo fi(path);
    return fi.exists() || fi.isSymLink();
}

// The USB product (or interface) name of a tty, looked for in its device's
// folder and the folders above it, as far as the USB device itself.
QString describe(const QString &entryPath)
{
    QString dir = QFileInfo(entryPath + QStringLiteral("/device")).canonicalFilePath();
    QString interfaceName;
    for (int level = 0; level < 5 && !dir.isEmpty() && dir != QLatin1String("/"); ++level) {
        const QString product = readAttribute(dir + QStringLiteral("/product"));
        if (!product.isEmpty())
            return product;
        if (interfaceName.isEmpty())
            interfaceName = readAttribute(dir + QStringLiteral("/interface"));
        const QString up = QFileInfo(dir).path();
        if (up == dir)
            break;
        dir = up;
    }
    return interfaceName;
}

#ifndef _WIN32
bool processAlive(qint64 pid)
{
    if (pid <= 0 || pid > 0x7fffffff)
        return false;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

bool nodeUsable(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (::stat(native.constData(), &st) != 0)
        return false;
    return ::access(native.constData(), R_OK | W_OK) == 0;
}
#endif

} // namespace

PortTable::PortTable(const QString &sysClassTty, const QString &devDir, const QString &lockDir)
    : m_sysRoot(sysClassTty), m_devDir(devDir), m_lockDir(lockDir)
{
    rescan();
}

void PortTable::rescan()
{
    m_devices.clear();
    const QDir root(m_sysRoot);
    const QStringList names = root.entryList(QDir::Dirs | QDir::Files | QDir::System | QDir::NoDotAndDotDot);

    QVector<SortKey> found;
    for (const QString &name : names) {
        const QString entry = root.filePath(name);
        // A real device has a parent device bound to a driver; virtual
        // terminals, pseudo-terminals and the console have none.
        if (!QFileInfo(entry + QStringLiteral("/device")).exists())
            continue;
        if (!existsOrIsLink(entry + QStringLiteral("/device/driver")))
            continue;
        // Every ttyS the 8250 driver reserves shows up; only those with a UART
        // behind them have a type other than 0 (unknown).
        if (sortKeyOf(name).family == 0) {
            bool ok = false;
            const int type = readAttribute(entry + QStringLiteral("/type")).toInt(&ok);
            if (!ok || type == 0)
                continue;
        }
        found.append(sortKeyOf(name));
    }
    std::sort(found.begin(), found.end(), sortsBefore);
    for (const SortKey &key : found) {
        PortDevice d;
        d.path = m_devDir + QLatin1Char('/') + key.name;
        d.description = describe(root.filePath(key.name));
        m_devices.append(d);
    }
}

void PortTable::appendExtra(const PortDevice &device)
{
    m_extras.append(device);
}

std::optional<PortDevice> PortTable::device(int comNumber) const
{
    if (comNumber < 1 || comNumber > count())
        return std::nullopt;
    const int i = comNumber - 1;
    return i < m_devices.size() ? m_devices.at(i) : m_extras.at(i - int(m_devices.size()));
}

bool PortTable::canOpenNow(int comNumber) const
{
#ifdef _WIN32
    Q_UNUSED(comNumber);
    return false;
#else
    const auto dev = device(comNumber);
    if (!dev || !nodeUsable(dev->path))
        return false;
    if (comNumber > m_devices.size())
        return true;   // an extra line: no lock convention to honour
    return liveLockOwner(m_lockDir, QFileInfo(dev->path).fileName()) == 0;
#endif
}

int PortTable::comNumberOf(const QString &path) const
{
    for (int n = 1; n <= count(); ++n) {
        if (device(n)->path == path)
            return n;
    }
    return 0;
}

qint64 PortTable::liveLockOwner(const QString &lockDir, const QString &name)
{
#ifdef _WIN32
    Q_UNUSED(lockDir);
    Q_UNUSED(name);
    return 0;
#else
    QFile f(lockDir + QStringLiteral("/LCK..") + QString(name).replace(QLatin1Char('/'), QLatin1Char('_')));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray head = f.read(64);
    qint64 pid = 0;
    // Text locks hold the pid in decimal, maybe padded with spaces and followed
    // by a newline; old binary locks hold it as a native int, whose bytes may
    // look like digits, so a digit run only counts as text when whitespace or
    // the end of the file follows it.
    qsizetype start = 0;
    while (start < head.size() && head.at(start) == ' ')
        ++start;
    qsizetype end = start;
    while (end < head.size() && head.at(end) >= '0' && head.at(end) <= '9')
        ++end;
    const bool text = end > start && end - start <= 10
        && (end == head.size() || QByteArrayView(" \t\r\n").contains(head.at(end)));
    if (text) {
        pid = head.mid(start, end - start).toLongLong();
    } else if (head.size() >= qsizetype(sizeof(int))) {
        int binary = 0;
        memcpy(&binary, head.constData(), sizeof binary);
        pid = binary;
    }
    return processAlive(pid) ? pid : 0;
#endif
}

namespace mdlCOMPort {

namespace {
PortTable *g_replacement = nullptr;
}

PortTable &portTable()
{
    if (g_replacement)
        return *g_replacement;
    static PortTable system;
    return system;
}

void setPortTable(PortTable *table)
{
    g_replacement = table;
}

#ifdef _WIN32
// Asks the device namespace for the port with neither read nor write access:
// the handle only shows the device exists and is not held exclusively.
bool COMPortExists(short port)
{
    const QByteArray name = "\\\\.\\COM" + QByteArray::number(port);
    SECURITY_ATTRIBUTES sa = {0, nullptr, 0};
    HANDLE h = CreateFileA(name.constData(), 0, 3, &sa, 3, 0x80, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    return true;
}
#else
bool COMPortExists(short port)
{
    if (port < 1 || port > 255)
        return false;
    return portTable().canOpenNow(port);
}
#endif

} // namespace mdlCOMPort

} // namespace kestran
