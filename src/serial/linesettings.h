#pragma once
// The line settings text ("19200,N,8,1") and the line set-up every program
// gives a port when it opens it.
#include <QString>

namespace kestran {

class PortTable;
class SerialControl;
struct PortText;

struct LineSettings {
    qint32 baud = 9600;
    char parity = 'N';                       // N E O M S
    int dataBits = 8;                        // 5..8
    QString stopBits = QStringLiteral("1");  // "1", "1.5", "2"

    QString text() const;
};

// "baud,parity,data,stop": digits for the baud (1 to 4,000,000), one of
// N E O M S (any case), 5 to 8 data bits, 1, 1.5 or 2 stop bits; blanks
// around each part are allowed. False (and `out` unchanged) when malformed.
bool parseLineSettings(const QString &text, LineSettings *out);
// What a control says of a settings text it cannot take.
QString badLineSettingsText(const QString &text);

// How a program reads what arrives: the window takes one character at each
// receive event and ignores the transmit events it asks for; the command-line
// programs take everything waiting at each event, with no transmit events, and
// drop what waited in the port before they opened it.
struct LineSetup {
    short inputLen;
    short sThreshold;
    bool dropWaitingAfterOpen;
};
inline constexpr LineSetup kWindowLineSetup{1, 1, false};
inline constexpr LineSetup kClientLineSetup{0, 0, true};

// Points the control at a valid port text: a COM number through `table`, or
// a device path (which network texts are too). Returns the device's path, for
// messages ("" for a COM number the table does not know).
QString selectPort(SerialControl &comm, const PortText &port, const PortTable &table);

// The counters' line: 19200 8N1, an empty receive buffer, text input, a
// receive event while characters wait, DTR off, then the port opened
// (assigned in that order). The port itself (CommPort or device path) is set
// before. Returns what setPortOpen returned.
bool openCounterLine(SerialControl &comm, const LineSetup &setup);

} // namespace kestran
