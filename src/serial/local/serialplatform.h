#pragma once
// What differs between operating systems on the way to a serial device. Each
// system has its own file (serialplatform_linux.cpp, serialplatform_win.cpp),
// and CMake builds the one for the target: these files, and comprobe_win.cpp,
// are the only sources that include a system header.
#include "portdevice.h"
#include "serialcontrol.h"

#include "localport.h"
#include <QString>
#include <QVector>

namespace kestran {
namespace serialplatform {

// The system's serial devices in port-number order: element 0 is COM1.
// Linux numbers the devices sysfs under `sysClassTty` shows, as paths under
// `devDir`; Windows maps every number n to "\\.\COMn" and ignores both roots.
QVector<PortDevice> systemPorts(const QString &sysClassTty, const QString &devDir);

// Without opening it for reading or writing: the device exists and this user
// may open it now.
bool deviceUsable(const QString &path);

// What a look at the device says, without opening it for reading or writing:
// not there, not this user's to open, held by another program (where the
// system tells; Linux tells through lock files instead), or free.
enum class DeviceState { Missing, NoPermission, Busy, Usable };
DeviceState deviceState(const QString &path);

// The pid of the live process holding lockDir/LCK..<name>, or 0 when the lock
// is absent or stale, and always 0 where ports have no lock files.
qint64 liveLockOwner(const QString &lockDir, const QString &name);

// Why LocalPort::open failed on `path`, from the port's error, the device
// itself and the live owner of its lock file (0: none). `reason` receives the
// system's words for it.
SerialFault classifyOpenFailure(const QString &path, LocalPort::SerialPortError error,
                                const QString &qtText, qint64 lockOwner, QString *reason);

// The device of an open port has gone away (adapter pulled).
bool deviceGone(const QString &path);

// Hands bytes to the driver of the open port at once and returns how many it
// took; the caller queues the rest on the port. 0 where that is not possible.
qsizetype writeNow(LocalPort *port, const char *data, qsizetype size);

// Lets the driver of the open port keep received bytes until `bytes` of them
// wait before it calls the port readable, so that a reply of known length
// wakes its reader once instead of once a byte. A read still returns what
// waits at once. 1 or less restores the port's own setting. False where the
// system cannot (then the port is unchanged).
bool setWakeThreshold(LocalPort *port, int bytes);

// The group owning a device node ("dialout"), or "" when unknown or when the
// system has no such thing.
QString owningGroup(const QString &path);

} // namespace serialplatform
} // namespace kestran
