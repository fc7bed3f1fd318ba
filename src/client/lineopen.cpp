#include "lineopen.h"
#include "linesettings.h"
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
    const QString path = selectPort(*comm, port, ports);
    comm->setTlsSettings(tls);
    // A reader here takes all that waits at each event: one event per arrival, not per byte.
    comm->setReceiveEventMode(ReceiveEventMode::PerArrival);
    if (!openCounterLine(*comm, kClientLineSetup)) {
        line.fault = comm->fault();
        line.problem = describeOpenFailure(*comm, portText.trimmed(), path, Audience::CommandLine).text(QStringLiteral(" "));
        return line;
    }
    line.control = std::move(comm);
    return line;
}

} // namespace kestran
