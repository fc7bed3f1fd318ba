#pragma once
// Turning a port text into an open serial control.
#include "serialcontrol.h"
#include "tlssettings.h"

#include <QString>
#include <memory>

namespace kestran {

class PortTable;

struct OpenedLine {
    std::unique_ptr<SerialControl> control;   // open when `problem` is empty
    SerialFault fault = SerialFault::None;
    QString problem;                          // why it did not open, in plain words
};

// The one place that turns a port text ("COM3" through the port table, a
// device path) into a serial control and opens it at 19200 8N1 with DTR off,
// as the window does. A COM number counts only after the letters "COM".
// `table` replaces the system's port table (tests); `tls` is for TLS gateways.
OpenedLine openLine(const QString &portText, PortTable *table = nullptr, const TlsSettings &tls = {});


} // namespace kestran
