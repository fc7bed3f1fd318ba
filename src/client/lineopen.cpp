#include "lineopen.h"
#include "mdlcomport.h"
#include "mscomm.h"
#include "portname.h"

#include <QFileInfo>

namespace kestran {

OpenedLine openLine(const QString &portText, PortTable *table)
{
    OpenedLine line;
    const PortText port = parsePortText(portText);
    if (port.kind == PortText::Invalid) {
        line.fault = SerialFault::BadPortNumber;
        line.problem = port.problem;
        return line;
    }
    auto comm = std::make_unique<MSComm>();
    PortTable &ports = table ? *table : mdlCOMPort::portTable();
    if (table)
        comm->setPortTable(table);
    QString path;
    if (port.kind == PortText::Com) {
        comm->setCommPort(port.number);
        if (const auto dev = ports.device(port.number))
            path = dev->path;
    } else {
        comm->setDevicePath(port.path);
        path = port.path;
    }
    comm->setSettings(QStringLiteral("19200,N,8,1"));
    comm->setInBufferCount(0);
    comm->setInputMode(0);
    comm->setInputLen(0);        // everything waiting at each receive event
    comm->setRThreshold(1);
    comm->setSThreshold(0);
    comm->setDTREnable(false);
    if (!comm->setPortOpen(true)) {
        line.fault = comm->fault();
        line.problem = describeOpenFailure(*comm, portText.trimmed(), path);
        return line;
    }
    line.control = std::move(comm);
    return line;
}

QString describeOpenFailure(const SerialControl &control, const QString &portText, const QString &path)
{
    const QString reason = control.errorString();
    const QString head = QStringLiteral("Could not open %1").arg(portText);
    switch (control.fault()) {
    case SerialFault::BadPortNumber:
        return QStringLiteral("%1: this computer has no serial port with that number. "
                              "List them with \u201Ckestran-ctl ports\u201D, or give a device path such as /dev/ttyUSB0.")
            .arg(head);
    case SerialFault::NotFound:
        return QStringLiteral("%1: the device does not exist (%2). Check that the adapter is plugged in.")
            .arg(head, reason);
    case SerialFault::Busy:
        return QStringLiteral("%1: another program is using the port (%2). Close that program, then try again.")
            .arg(head, reason);
    case SerialFault::Permission: {
        const QString group = path.isEmpty() ? QString() : QFileInfo(path).group();
        const QString owner = group.isEmpty() ? QString()
                                              : QStringLiteral(" (%1 belongs to the group %2)").arg(path, group);
        return QStringLiteral("%1: permission denied (%2). Your user must be a member of the group that owns "
                              "the device%3. On Debian serial ports belong to the group dialout: run "
                              "\u201Csudo adduser $USER dialout\u201D, then log out and in again.")
            .arg(head, reason, owner);
    }
    case SerialFault::NotSerial:
        return QStringLiteral("%1: it is not a serial device (%2).").arg(head, reason);
    default:
        return QStringLiteral("%1: %2").arg(head, reason.isEmpty() ? QStringLiteral("unknown error") : reason);
    }
}

} // namespace kestran
