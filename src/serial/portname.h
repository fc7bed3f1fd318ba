#pragma once
// What the port box's text names: "COMn" (n 1..255), a device path starting
// with "/", or a serial line behind a network gateway: "tcp://HOST:PORT" (the
// line's bytes as they are) or "rfc2217://HOST:PORT" (Telnet with the
// COM-PORT-OPTION, so the tool sets the line itself), and either inside TLS:
// "tls://HOST:PORT" and "rfc2217+tls://HOST:PORT".
#include <QString>

namespace kestran {

struct PortText {
    enum Kind { Com, Path, Invalid, Tcp, Rfc2217, Tls, Rfc2217Tls } kind = Invalid;
    short number = 0;    // for Com
    QString path;        // for Path; for the network kinds the text itself, given on as the device path
    QString host;        // for the network kinds: a name, or an IPv4 or IPv6 address (without brackets)
    quint16 tcpPort = 0; // for the network kinds: 1..65535
    QString problem;     // for Invalid: what is wrong, in plain words

    bool isNetwork() const { return kind == Tcp || kind == Rfc2217 || isTls(); }
    bool isTls() const { return kind == Tls || kind == Rfc2217Tls; }
    bool isRfc2217() const { return kind == Rfc2217 || kind == Rfc2217Tls; }
};

// How a COM number is recognised. The window's port box takes whatever follows
// the first three characters ("xyz3" is COM3); scripts must spell out "COM".
enum class ComPrefix { AnyThree, ComLetters };

PortText parsePortText(const QString &text, ComPrefix prefix = ComPrefix::AnyThree);

} // namespace kestran
