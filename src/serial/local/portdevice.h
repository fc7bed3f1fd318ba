#pragma once
// One serial device of this computer, as discovery finds it.
#include <QString>

namespace kestran {

struct PortDevice {
    QString path;         // "/dev/ttyUSB0", "\\.\COM3"
    QString description;  // "FT232R USB UART", or "" when the system has none
};

} // namespace kestran
