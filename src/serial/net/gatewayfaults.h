#pragma once
// What a network gateway's behaviour means for the line, decided from the
// facts alone: the first bytes of a connection (the gateway's own refusal, or
// the line's), why a connection could not be made, and what a lost
// connection tells of the bytes we had sent. Pure functions: NetComm feeds
// them what it saw, the tests feed them tables.
#include "gatewaytexts.h"
#include "serialcontrol.h"

#include <QAbstractSocket>
#include <QByteArrayView>
#include <QString>

namespace kestran::gateway {

// What ser2net says, and then closes the connection, when another client
// holds the port: these bytes come from the gateway, not from the line.
inline constexpr char kPortInUse[] = "Port already in use";

enum class Greeting {
    Line,            // the line's own bytes: hand them on
    MaybeRefusal,    // could still become a refusal: hold them back a while
    Refusal,         // the gateway's words: nothing of ours reached the line
};
// `held`: the first bytes of a connection, or the first after a command of
// ours, as far as they have come. The gateway's refusals come there: ser2net's
// "in use" at the start, our line server's texts at the start or right after
// a write it does not allow.
Greeting screenGreeting(QByteArrayView held);

struct Verdict {
    SerialFault fault = SerialFault::None;
    QString why;     // in plain words, without the port text
};

// What a refusal that screenGreeting() found means.
Verdict refusal(QByteArrayView held);

// An open whose connection failed before it was up. `resolved`: the host's
// address was known (the socket got as far as connecting).
Verdict connectFailed(bool resolved, QAbstractSocket::SocketError error, const QString &socketError);

// An open whose connection was not up (or, over TLS, not through its
// handshake) by the deadline. `handshaking`: TCP was up, TLS was not: the
// TLS session's words on a plain port follow `why`. A name still being looked
// up at the deadline did not resolve in time.
Verdict openTimedOut(bool handshaking, bool resolved, int seconds);

// An open connection that went away.
struct Loss {
    bool tls = false;
    bool settling = false;      // before the open completed: nothing of ours was sent
    bool anySent = false;       // a line byte of ours went out on it
    bool anyReceived = false;   // anything came on it
    bool remoteClosed = false;  // the gateway closed it (not a reset, not a timeout)
    QString socketError;        // the socket's own words otherwise
    QString tlsPortText;        // the port text that would open it as TLS
};
// Over TLS a close while settling is our certificate refused (TLS 1.3 says
// so only after the handshake): the fault is CertRefused and `why` empty, for
// the TLS session to word. A close after our first bytes, before anything came
// back, is ClosedUnanswered: a TLS gateway does that with a plain client, but
// a plain gateway that died at that moment looks the same, so the bytes may
// have reached the line.
Verdict connectionLost(const Loss &loss);

} // namespace kestran::gateway
