#include "gatewayfaults.h"

namespace kestran::gateway {

Greeting screenGreeting(QByteArrayView held)
{
    const QByteArrayView inUse(kPortInUse);
    if (held.startsWith(inUse))
        return Greeting::PortInUse;
    if (!held.isEmpty() && inUse.startsWith(held))
        return Greeting::MaybeRefusal;
    return Greeting::Line;
}

Verdict connectFailed(bool resolved, QAbstractSocket::SocketError error, const QString &socketError)
{
    // Whatever fails before an address is known is the name's lookup (a
    // resolver that cannot be reached says "temporary failure").
    if (!resolved)
        return {SerialFault::HostNotFound, socketError};
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError: return {SerialFault::Refused, socketError};
    case QAbstractSocket::HostNotFoundError: return {SerialFault::HostNotFound, socketError};
    case QAbstractSocket::SocketTimeoutError: return {SerialFault::TimedOut, socketError};
    default: return {SerialFault::Other, socketError};
    }
}

Verdict openTimedOut(bool handshaking, bool resolved, int seconds)
{
    if (handshaking)
        return {SerialFault::TlsMismatch, QStringLiteral("no TLS answer within %1 seconds: ").arg(seconds)};
    if (!resolved)
        return {SerialFault::HostNotFound, QStringLiteral("the name did not resolve within %1 seconds").arg(seconds)};
    return {SerialFault::TimedOut, QStringLiteral("the connection timed out after %1 seconds").arg(seconds)};
}

Verdict connectionLost(const Loss &loss)
{
    const QString closed = QStringLiteral("the gateway closed the connection");
    const QString said = loss.remoteClosed || loss.socketError.isEmpty() ? closed : loss.socketError;
    if (loss.settling)
        return loss.tls ? Verdict{SerialFault::CertRefused, QString()} : Verdict{SerialFault::Lost, said};
    if (!loss.tls && loss.anySent && !loss.anyReceived)
        return {SerialFault::ClosedUnanswered,
                QStringLiteral("the gateway closed the connection at our first bytes, before anything came "
                               "back; a TLS gateway does so with a plain client: if it speaks TLS, open it as %1")
                    .arg(loss.tlsPortText)};
    return {SerialFault::Lost, said};
}

} // namespace kestran::gateway
