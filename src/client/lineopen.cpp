#include "lineopen.h"
#include "mdlcomport.h"
#include "openfailure.h"
#include "portname.h"
#include "serialswitch.h"

namespace kestran {

OpenedLine openLine(const QString &portText, PortTable *table, const TlsSettings &tls)
{
    OpenedLine line;
    const PortText port = parsePortText(portText, ComPrefix::ComLetters);
    if (port.kind == PortText::Invalid) {
        line.fault = SerialFault::BadPortNumber;
        line.problem = port.problem;
        return line;
    }
    auto comm = std::make_unique<SerialSwitch>();   // a local port or a network gateway
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
    comm->setTlsSettings(tls);
    comm->setSettings(QStringLiteral("19200,N,8,1"));
    comm->setInBufferCount(0);
    comm->setInputMode(0);
    comm->setInputLen(0);        // everything waiting at each receive event
    comm->setRThreshold(1);
    comm->setSThreshold(0);
    // A reader here takes all that waits at each event: one event per arrival, not per byte.
    comm->setReceiveEventMode(ReceiveEventMode::PerArrival);
    comm->setDTREnable(false);
    if (!comm->setPortOpen(true)) {
        line.fault = comm->fault();
        line.problem = describeOpenFailure(*comm, portText.trimmed(), path, Audience::CommandLine).text(QStringLiteral(" "));
        return line;
    }
    // Bytes that waited in the port before it was opened (late replies to a
    // program that ran before) answer nothing of ours.
    comm->setInBufferCount(0);
    line.control = std::move(comm);
    return line;
}

} // namespace kestran
