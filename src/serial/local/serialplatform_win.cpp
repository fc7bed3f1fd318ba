// The serial link on Windows: port n is the device "\\.\COMn", whether it answers is the query-only open of comprobe_win.cpp, and
// a port held by another program shows as access denied when it is opened.
// There are no lock files and no device groups.
#include "serialplatform.h"

#include "comprobe.h"

#include <windows.h>

#include <string>

namespace kestran {
namespace serialplatform {

namespace {

// "COM12" or "\\.\COM12" -> 12; 0 for any other name.
int comNumberOfName(QString name)
{
    if (name.startsWith(QLatin1String("\\\\.\\")))
        name.remove(0, 4);
    if (!name.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        return 0;
    bool ok = false;
    const int n = name.mid(3).toInt(&ok);
    return ok && n >= 1 && n <= 255 ? n : 0;
}

} // namespace

QVector<PortDevice> systemPorts(const QString &sysClassTty, const QString &devDir)
{
    Q_UNUSED(sysClassTty);
    Q_UNUSED(devDir);
    // Every number has its device name; whether one is there is asked when
    // it matters.
    QVector<PortDevice> devices(255);
    for (int n = 1; n <= 255; ++n)
        devices[n - 1].path = QStringLiteral("\\\\.\\COM%1").arg(n);
    return devices;
}

DeviceState deviceState(const QString &path)
{
    // The probe's own open: a port another program holds answers "access denied".
    const unsigned long code = comprobe::deviceAnswerCode(path.toLocal8Bit().constData());
    if (code == 0)
        return DeviceState::Usable;
    return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION ? DeviceState::Busy
                                                                          : DeviceState::Missing;
}

bool deviceUsable(const QString &path)
{
    return deviceState(path) == DeviceState::Usable;
}

qint64 liveLockOwner(const QString &lockDir, const QString &name)
{
    Q_UNUSED(lockDir);
    Q_UNUSED(name);
    return 0;
}

SerialFault classifyOpenFailure(const QString &path, LocalPort::SerialPortError error,
                                const QString &qtText, qint64 lockOwner, QString *reason)
{
    Q_UNUSED(path);
    Q_UNUSED(lockOwner);
    *reason = qtText;
    switch (error) {
    case LocalPort::DeviceNotFoundError:
        return SerialFault::NotFound;
    case LocalPort::PermissionError:
        // Serial ports open exclusively: access denied means another
        // program has the port.
        return SerialFault::Busy;
    default:
        return SerialFault::Other;
    }
}

bool deviceGone(const QString &path)
{
    // The system still maps the name to a device while the adapter is there.
    const int n = comNumberOfName(path);
    if (n == 0)
        return false;
    const std::wstring name = L"COM" + std::to_wstring(n);
    wchar_t target[512];
    return QueryDosDeviceW(name.c_str(), target, 512) == 0 && GetLastError() == ERROR_FILE_NOT_FOUND;
}

qsizetype writeNow(LocalPort *port, const char *data, qsizetype size)
{
    // The port starts writing what it is given at once; the caller queues it all.
    Q_UNUSED(port);
    Q_UNUSED(data);
    Q_UNUSED(size);
    return 0;
}

bool setWakeThreshold(LocalPort *, int)
{
    // Every arrival is delivered as it comes.
    return false;
}

QString owningGroup(const QString &path)
{
    Q_UNUSED(path);
    return QString();
}

} // namespace serialplatform
} // namespace kestran
