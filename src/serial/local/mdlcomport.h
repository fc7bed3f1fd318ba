#pragma once
// Port discovery: which COM numbers exist and which device each one is.
#include "portdevice.h"

#include <QPair>
#include <QString>
#include <QVector>
#include <optional>

namespace kestran {

// The serial devices the system really has, numbered COM1 upward by family
// (ttyS, ttyUSB, ttyACM, ttyAMA, rfcomm, then the rest by name), then by number.
// Roots are injectable so tests can lay out any set of ports without hardware.
// On Windows COMn is the device "\\.\COMn" for every n from 1 to 255, and the
// roots are not used.
class PortTable {
public:
    PortTable(const QString &sysClassTty = QStringLiteral("/sys/class/tty"),
              const QString &devDir = QStringLiteral("/dev"),
              const QString &lockDir = QStringLiteral("/var/lock"));

    // Re-reads the sysfs folder (devices added with appendExtra stay, after the real ones).
    void rescan();
    // Appends a device after the real ones (the simulated line of --demo).
    void appendExtra(const PortDevice &device);
    // Gives a device a COM number and returns it: the next after the real
    // ones, or, where every number already has its device name (Windows: COM1
    // to COM255), the first of those that no device answers. 0 when none is
    // free. The path may be a network port text ("tcp://127.0.0.1:5000").
    int attachExtra(const PortDevice &device);

    int count() const { return int(m_devices.size() + m_extras.size()); }
    // COM number 1.. -> device, or nullopt.
    std::optional<PortDevice> device(int comNumber) const;
    // Without opening: the node exists, this user may read and write it, and
    // no live process holds its lock file (extra devices: node and access only).
    bool canOpenNow(int comNumber) const;
    // The COM number a device path has in this table, or 0.
    int comNumberOf(const QString &path) const;

    QString lockDir() const { return m_lockDir; }

    // The name of a device's lock file, the same for every path that leads to
    // it: symbolic links resolved (/dev/serial/by-id/...), then the path below
    // the device folder with "/" as "_" ("/dev/pts/3" -> "pts_3"), as the
    // serial port library names the lock it takes. A path that does not exist
    // is named as given.
    QString lockNameOf(const QString &devicePath) const;
    // The pid of the live process holding the lock of that device, or 0. A
    // lock another program took under the name of a link it was given counts
    // too, when `devicePath` is that link.
    qint64 lockOwnerOf(const QString &devicePath) const;

    // The pid of the live process holding lockDir/LCK..<name>, or 0 when the
    // lock is absent or stale. `name` is the device name without "/dev/".
    static qint64 liveLockOwner(const QString &lockDir, const QString &name);

private:
    QString m_sysRoot, m_devDir, m_lockDir;
    QVector<PortDevice> m_devices;   // found in sysfs
    QVector<PortDevice> m_extras;    // appended by appendExtra, kept across rescan()
    QVector<QPair<int, PortDevice>> m_placed;   // attachExtra's devices on a number of the system's
};

namespace mdlCOMPort {
// True when the device of port number `port` (1..255) can be opened at this moment.
bool COMPortExists(short port);

// The table COMPortExists consults (the system's unless replaced; not owned).
PortTable &portTable();
void setPortTable(PortTable *table);   // nullptr restores the system's
} // namespace mdlCOMPort

} // namespace kestran
