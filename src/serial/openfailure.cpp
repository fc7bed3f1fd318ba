#include "openfailure.h"
#include "serialplatform.h"

namespace kestran {

OpenFailure describeOpenFailure(const SerialControl &control, const QString &portText,
                                const QString &path, Audience audience)
{
    const bool window = audience == Audience::Window;
    const QString reason = control.errorString();
    const QString head = QStringLiteral("Could not open %1").arg(portText);
    switch (control.fault()) {
    case SerialFault::BadPortNumber:
        return {QStringLiteral("%1: this computer has no serial port with that number.").arg(head),
                window ? QStringLiteral("Pick a port from the list, or type a device path such as /dev/ttyUSB0.")
                       : QStringLiteral("List them with \u201Ckestran-ctl ports\u201D, or give a device path "
                                        "such as /dev/ttyUSB0.")};
    case SerialFault::NotFound:
        return {QStringLiteral("%1: the device does not exist (%2).").arg(head, reason),
                QStringLiteral("Check that the adapter is plugged in.")};
    case SerialFault::Busy:
        return {QStringLiteral("%1: another program is using the port (%2).").arg(head, reason),
                window ? QStringLiteral("Close that program, then press Open again.")
                       : QStringLiteral("Close that program, then try again.")};
    case SerialFault::Permission: {
        const QString group = serialplatform::owningGroup(path);
        const QString owner = group.isEmpty() ? QString()
                                              : QStringLiteral(" (%1 belongs to the group %2)").arg(path, group);
        return {QStringLiteral("%1: permission denied (%2).").arg(head, reason),
                QStringLiteral("Your user must be a member of the group that owns the device%1. "
                               "On Debian serial ports belong to the group dialout: run "
                               "\u201Csudo adduser $USER dialout\u201D, then log out and in again.")
                    .arg(owner)};
    }
    case SerialFault::NotSerial:
        return {QStringLiteral("%1: it is not a serial device (%2).").arg(head, reason), QString()};
    case SerialFault::TimedOut:
        return {QStringLiteral("%1: no answer within 3 seconds (%2).").arg(head, reason),
                QStringLiteral("Check the address, and that the gateway is switched on and "
                               "reachable from this computer.")};
    case SerialFault::Refused:
        return {QStringLiteral("%1: the connection was refused (%2).").arg(head, reason),
                QStringLiteral("Check the port number, and that the gateway is running and "
                               "accepts connections on it.")};
    case SerialFault::HostNotFound:
        return {QStringLiteral("%1: the host name was not found (%2).").arg(head, reason),
                QStringLiteral("Check the spelling of the name, or type the gateway's address.")};
    default:
        return {QStringLiteral("%1: %2").arg(head, reason.isEmpty() ? QStringLiteral("unknown error") : reason),
                QString()};
    }
}

} // namespace kestran
