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
    case SerialFault::NotTrusted:
        return {QStringLiteral("%1: the gateway is not trusted (%2).").arg(head, reason),
                QStringLiteral("Compare the fingerprint with the one the gateway's certificate has. "
                               "Give the plant's CA certificate, or pin the gateway's fingerprint.")};
    case SerialFault::CertExpired:
        return {QStringLiteral("%1: the gateway's certificate is out of date (%2).").arg(head, reason),
                QStringLiteral("Renew the gateway's certificate, and check this computer's clock.")};
    case SerialFault::WrongName:
        return {QStringLiteral("%1: the gateway's certificate is for another name (%2).").arg(head, reason),
                QStringLiteral("Open the gateway by a name its certificate holds, or give it a certificate "
                               "made out for this name.")};
    case SerialFault::CertRefused:
        return {QStringLiteral("%1: the gateway refused our certificate (%2).").arg(head, reason),
                QStringLiteral("Give a client certificate the gateway trusts (signed by the plant's CA, "
                               "for a user the gateway knows).")};
    case SerialFault::TlsMismatch:
        return {QStringLiteral("%1: TLS on one side only (%2).").arg(head, reason), QString()};
    case SerialFault::Unavailable:
        return {QStringLiteral("%1: the line server cannot serve us now (%2).").arg(head, reason),
                QStringLiteral("Try again in a while; the line server's log says why.")};
    case SerialFault::NotAllowed:
        return {QStringLiteral("%1: %2.").arg(head, reason),
                QStringLiteral("Ask for this client's name to be made a writer of the line.")};
    case SerialFault::TlsSettings:
        return {QStringLiteral("%1: the TLS settings cannot be used (%2).").arg(head, reason), QString()};
    default:
        return {QStringLiteral("%1: %2").arg(head, reason.isEmpty() ? QStringLiteral("unknown error") : reason),
                QString()};
    }
}

} // namespace kestran
