#include "mdlcomport.h"

#include "serialplatform.h"

#include <QFileInfo>

#include <algorithm>

namespace kestran {

PortTable::PortTable(const QString &sysClassTty, const QString &devDir, const QString &lockDir)
    : m_sysRoot(sysClassTty), m_devDir(devDir), m_lockDir(lockDir)
{
    rescan();
}

void PortTable::rescan()
{
    m_devices = serialplatform::systemPorts(m_sysRoot, m_devDir);
}

void PortTable::appendExtra(const PortDevice &device)
{
    m_extras.append(device);
}

int PortTable::attachExtra(const PortDevice &device)
{
    if (count() < 255) {
        appendExtra(device);
        return count();
    }
    for (int n = 1; n <= int(m_devices.size()); ++n) {
        if (!serialplatform::deviceUsable(m_devices.at(n - 1).path)) {
            m_placed.append({n, device});
            return n;
        }
    }
    return 0;
}

std::optional<PortDevice> PortTable::device(int comNumber) const
{
    if (comNumber < 1 || comNumber > count())
        return std::nullopt;
    for (const auto &placed : m_placed) {
        if (placed.first == comNumber)
            return placed.second;
    }
    const int i = comNumber - 1;
    return i < m_devices.size() ? m_devices.at(i) : m_extras.at(i - int(m_devices.size()));
}

bool PortTable::canOpenNow(int comNumber) const
{
    const auto dev = device(comNumber);
    if (!dev)
        return false;
    const bool extra = comNumber > m_devices.size()
            || std::any_of(m_placed.cbegin(), m_placed.cend(), [comNumber](const auto &p) { return p.first == comNumber; });
    if (extra && dev->path.contains(QLatin1String("://")))
        return true;   // a network line: it answers when it is opened
    if (!serialplatform::deviceUsable(dev->path))
        return false;
    if (extra)
        return true;   // an extra line: no lock convention to honour
    return lockOwnerOf(dev->path) == 0;
}

namespace {
// "/dev/pts/3" -> "pts_3"; a path outside the device folders keeps all of it.
QString lockNameBelow(QString path, const QStringList &deviceDirs)
{
    for (const QString &dir : deviceDirs) {
        if (!dir.isEmpty() && path.startsWith(dir + QLatin1Char('/'))) {
            path = path.mid(dir.size() + 1);
            break;
        }
    }
    return path.replace(QLatin1Char('/'), QLatin1Char('_'));
}
} // namespace

QString PortTable::lockNameOf(const QString &devicePath) const
{
    const QString canonical = QFileInfo(devicePath).canonicalFilePath();
    return lockNameBelow(canonical.isEmpty() ? devicePath : canonical,
                         {QFileInfo(m_devDir).canonicalFilePath(), m_devDir, QStringLiteral("/dev")});
}

qint64 PortTable::lockOwnerOf(const QString &devicePath) const
{
    const QString name = lockNameOf(devicePath);
    if (const qint64 owner = liveLockOwner(m_lockDir, name))
        return owner;
    const QString typed = lockNameBelow(devicePath, {m_devDir, QStringLiteral("/dev")});
    return typed == name ? 0 : liveLockOwner(m_lockDir, typed);
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
    return serialplatform::liveLockOwner(lockDir, name);
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

// On Windows the table's device for n is "\\.\COMn", and the check is the
// query-only open of comprobe_win.cpp.
bool COMPortExists(short port)
{
    if (port < 1 || port > 255)
        return false;
    return portTable().canOpenNow(port);
}

} // namespace mdlCOMPort

} // namespace kestran
