#include "gatewayfaults.h"

namespace kestran::gateway {

Greeting screenGreeting(QByteArrayView held)
{
    const QByteArrayView inUse(kPortInUse);
    if (held.startsWith(inUse))
        return Greeting::Refusal;
    switch (linedTextOf(held)) {
    case LinedText::WriteRefused:
    case LinedText::LineDown:
    case LinedText::TooMany:
        return Greeting::Refusal;
    case LinedText::Partial:
        return Greeting::MaybeRefusal;
    case LinedText::None:
        break;
    }
    if (!held.isEmpty() && inUse.startsWith(held))
        return Greeting::MaybeRefusal;
    return Greeting::Line;
}

Verdict refusal(QByteArrayView held)
{
    const auto said = [](const char *text) { return QString::fromLatin1(text).trimmed(); };
    switch (linedTextOf(held)) {
    case LinedText::WriteRefused:
        return {SerialFault::NotAllowed,
                QStringLiteral("not allowed to write on this line (the line server said \u201C%1\u201D)")
                    .arg(said(kLinedWriteRefused))};
    case LinedText::LineDown:
        return {SerialFault::Unavailable,
                QStringLiteral("the line server's line is down and being opened again (it said \u201C%1\u201D); "
                               "nothing reached the line").arg(said(kLinedLineDown))};
    case LinedText::TooMany:
        return {SerialFault::Unavailable,
                QStringLiteral("the line server has as many clients on this line as it takes (it said \u201C%1\u201D); "
                               "nothing reached the line").arg(said(kLinedTooMany))};
    default:
        break;
    }
    return {SerialFault::Busy, QStringLiteral("the gateway's port is in use: another client holds it "
                                              "(the gateway said \u201C%1\u201D); nothing reached the line")
                                   .arg(QLatin1String(kPortInUse))};
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
