#pragma once
// The Telnet side of a serial line behind an RFC 2217 gateway, without a
// socket: received bytes go in and come out as the line's own bytes, with the
// answers the peer is owed; line bytes to send come out encoded.
//
// This side agrees to BINARY and SUPPRESS-GO-AHEAD both ways and offers the
// COM-PORT-OPTION; every other option is refused. The line settings are sent
// right behind the option requests and never waited for: the gateway handles
// the stream in order, so they are in force before the first line byte, and
// some gateways never confirm SET-CONTROL at all.
#include "linesettings.h"

#include <QByteArray>
#include <QString>
#include <array>

namespace kestran {

class TelnetComPort {
public:
    // Telnet bytes and the COM-PORT-OPTION commands this side uses.
    enum : unsigned char {
        SE = 240, NOP = 241, SB = 250, WILL = 251, WONT = 252, DO = 253, DONT = 254, IAC = 255,
        OptBinary = 0, OptEcho = 1, OptSuppressGoAhead = 3, OptComPort = 44,
        SetBaudRate = 1, SetDataSize = 2, SetParity = 3, SetStopSize = 4, SetControl = 5, PurgeData = 12,
        ServerOffset = 100,   // the gateway answers command c as c + 100
    };

    struct Line {
        quint32 baud = 19200;
        quint8 dataBits = 8;
        quint8 parity = 1;     // 1 none, 2 odd, 3 even, 4 mark, 5 space
        quint8 stopSize = 1;   // 1 one, 2 two, 3 one and a half
        bool dtr = false;
    };

    TelnetComPort() { reset(); }

    // Forgets the previous connection: all options off, nothing half-read.
    void reset();
    // What to send as soon as the connection is up: the option requests, then `line`.
    QByteArray opening(const Line &line);
    // Line settings in the gateway's terms (DTR as it was in `out`).
    static void setLine(const LineSettings &settings, Line *out);
    // The subnegotiations that set baud, data size, parity and stop size.
    static QByteArray lineSettings(const Line &line);
    // The subnegotiation that sets DTR.
    static QByteArray dtrControl(bool on);
    // The subnegotiation that asks the gateway to empty both its buffers.
    static QByteArray purgeBoth();

    // Line bytes made ready for the connection: 0xFF doubled, and CR followed
    // by NUL while the peer has not taken BINARY from this side.
    QByteArray encode(const QByteArray &lineBytes) const;
    // Received bytes in (any split), the line bytes among them out; the
    // answers the peer is owed are appended to `answer`.
    QByteArray decode(const QByteArray &received, QByteArray *answer);

    // The value of the gateway's last answer to `command` (SetBaudRate...),
    // empty when it has not answered it.
    QByteArray confirmed(int command) const;
    bool comPortAgreed() const { return m_us[OptComPort] == Yes; }

private:
    enum State : quint8 { No, Yes, WantNo, WantYes };
    enum Reading : quint8 { Data, Command, Option, Sub, SubCommand };

    static bool wanted(quint8 option, bool ourSide);
    static bool binaryFor(State s) { return s == Yes || s == WantYes; }
    void negotiate(quint8 command, quint8 option, QByteArray *answer);
    void subnegotiation();

    std::array<State, 256> m_us{};    // options on this side (we WILL)
    std::array<State, 256> m_him{};   // options on the peer's side (we DO)
    Reading m_reading = Data;
    quint8 m_command = 0;
    bool m_afterCr = false;
    bool m_subOverflow = false;
    QByteArray m_sub;
    std::array<QByteArray, 13> m_confirmed;   // up to PURGE-DATA
};

} // namespace kestran
