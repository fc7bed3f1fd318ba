// The serial link on Linux: ports numbered from sysfs, UUCP lock files, access
// checks on the device node, and writes straight to the port's descriptor.
#include "serialplatform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <grp.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace kestran {
namespace serialplatform {

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

bool processAlive(qint64 pid)
{
    if (pid <= 0 || pid > 0x7fffffff)
        return false;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

QString sysText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

} // namespace

QVector<PortDevice> systemPorts(const QString &sysClassTty, const QString &devDir)
{
    const QDir root(sysClassTty);
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
    QVector<PortDevice> devices;
    for (const SortKey &key : found) {
        PortDevice d;
        d.path = devDir + QLatin1Char('/') + key.name;
        d.description = describe(root.filePath(key.name));
        devices.append(d);
    }
    return devices;
}

DeviceState deviceState(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (::stat(native.constData(), &st) != 0)
        return DeviceState::Missing;
    return ::access(native.constData(), R_OK | W_OK) == 0 ? DeviceState::Usable : DeviceState::NoPermission;
}

bool deviceUsable(const QString &path)
{
    return deviceState(path) == DeviceState::Usable;
}

qint64 liveLockOwner(const QString &lockDir, const QString &name)
{
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
}

SerialFault classifyOpenFailure(const QString &path, LocalPort::SerialPortError error,
                                const QString &qtText, qint64 lockOwner, QString *reason)
{
    const QByteArray native = QFile::encodeName(path);
    auto fail = [&](SerialFault f, const QString &why) {
        *reason = why;
        return f;
    };

    struct stat st;
    if (::stat(native.constData(), &st) != 0) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR)
            return fail(SerialFault::NotFound, sysText(err));
        if (err == EACCES)
            return fail(SerialFault::Permission, sysText(err));
        return fail(SerialFault::Other, sysText(err));
    }
    if (S_ISDIR(st.st_mode))
        return fail(SerialFault::NotSerial, sysText(EISDIR));
    if (!S_ISCHR(st.st_mode))
        return fail(SerialFault::NotSerial, QStringLiteral("not a serial device (%1)").arg(sysText(ENOTTY)));

    switch (error) {
    case LocalPort::DeviceNotFoundError:
        return fail(SerialFault::NotFound, qtText);
    case LocalPort::PermissionError: {
        if (lockOwner > 0)
            return fail(SerialFault::Busy, QStringLiteral("%1 (locked by process %2)").arg(sysText(EBUSY)).arg(lockOwner));
        if (qtText.contains(QLatin1String("lock"), Qt::CaseInsensitive))
            return fail(SerialFault::Busy, QStringLiteral("%1 (%2)").arg(sysText(EBUSY), qtText));
        if (::access(native.constData(), R_OK | W_OK) != 0)
            return fail(SerialFault::Permission, sysText(errno));
        return fail(SerialFault::Busy, sysText(EBUSY));
    }
    case LocalPort::UnsupportedOperationError:
        if (qtText == sysText(ENOTTY))
            return fail(SerialFault::NotSerial, QStringLiteral("not a serial device (%1)").arg(qtText));
        return fail(SerialFault::Other, qtText);
    default:
        break;
    }
    if (qtText == sysText(ENXIO) || qtText == sysText(ENODEV) || qtText == sysText(ENOTTY))
        return fail(SerialFault::NotSerial, qtText);
    if (qtText == sysText(EACCES) || qtText == sysText(EPERM))
        return fail(SerialFault::Permission, qtText);
    if (qtText == sysText(EBUSY))
        return fail(SerialFault::Busy, qtText);
    return fail(SerialFault::Other, qtText);
}

bool deviceGone(const QString &path)
{
    return !QFileInfo::exists(path);
}

qsizetype writeNow(LocalPort *port, const char *data, qsizetype size)
{
    qsizetype done = 0;
    while (done < size) {
        const ssize_t n = ::write(port->handle(), data + done, size_t(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

bool setWakeThreshold(LocalPort *port, int bytes)
{
    if (!port || !port->isOpen())
        return false;
    const int fd = port->handle();
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return false;
    // VMIN with VTIME 0: poll() calls the line readable only once VMIN bytes
    // wait, while a non-blocking read returns whatever waits. The port opens
    // with VMIN 0, which polls readable at one byte as VMIN 1 does.
    const cc_t want = cc_t(bytes <= 1 ? 0 : std::min(bytes, 255));
    if (tio.c_cc[VMIN] == want && tio.c_cc[VTIME] == 0)
        return true;
    tio.c_cc[VMIN] = want;
    tio.c_cc[VTIME] = 0;
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

QString owningGroup(const QString &path)
{
    struct stat st;
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QString();
    if (const group *g = ::getgrgid(st.st_gid))
        return QString::fromLocal8Bit(g->gr_name);
    return QString();
}

} // namespace serialplatform
} // namespace kestran
