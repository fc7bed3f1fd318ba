#include "portname.h"

#include <QHostAddress>

namespace kestran {

namespace {
QString usage()
{
    return QStringLiteral("type COM1 to COM255, a device path such as /dev/ttyUSB0, "
                          "or a network gateway as tcp://HOST:PORT, rfc2217://HOST:PORT, "
                          "tls://HOST:PORT or rfc2217+tls://HOST:PORT");
}

// A host name as resolvers take it: dot-separated labels of letters, digits,
// hyphens and underscores, none empty, longer than 63 or starting or ending with a hyphen.
bool isHostName(const QString &host)
{
    if (host.isEmpty() || host.size() > 253)
        return false;
    const QStringList labels = host.split(QLatin1Char('.'));
    for (int i = 0; i < labels.size(); ++i) {
        const QString &label = labels.at(i);
        if (label.isEmpty())
            return i == labels.size() - 1 && i > 0;   // one trailing dot is allowed
        if (label.size() > 63 || label.startsWith(QLatin1Char('-')) || label.endsWith(QLatin1Char('-')))
            return false;
        for (const QChar c : label) {
            if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('-') && c != QLatin1Char('_'))
                return false;
        }
    }
    return true;
}

// "tcp://", "rfc2217://", "tls://" and "rfc2217+tls://" HOST:PORT; anything else with "://" is
// a malformed or unknown network port.
PortText parseUrl(const QString &t, qsizetype schemeEnd)
{
    PortText result;
    auto invalid = [&](const QString &why) {
        result.problem = QStringLiteral("\u201C%1\u201D %2: %3.").arg(t, why, usage());
        return result;
    };
    const QString scheme = t.left(schemeEnd).toLower();
    if (scheme == QLatin1String("tcp"))
        result.kind = PortText::Tcp;
    else if (scheme == QLatin1String("rfc2217"))
        result.kind = PortText::Rfc2217;
    else if (scheme == QLatin1String("tls"))
        result.kind = PortText::Tls;
    else if (scheme == QLatin1String("rfc2217+tls"))
        result.kind = PortText::Rfc2217Tls;
    else
        return invalid(QStringLiteral("names an unknown kind of port \u201C%1\u201D").arg(t.left(schemeEnd)));

    QString rest = t.mid(schemeEnd + 3);
    if (rest.endsWith(QLatin1Char('/')))
        rest.chop(1);                        // "tcp://host:4001/" as a browser writes it
    QString host;
    QString portText;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return invalid(QStringLiteral("has an IPv6 address without its closing \u201C]\u201D"));
        host = rest.mid(1, close - 1);
        const QHostAddress address(host);
        if (address.isNull() || address.protocol() != QAbstractSocket::IPv6Protocol)
            return invalid(QStringLiteral("has no valid IPv6 address between the brackets"));
        if (rest.mid(close + 1, 1) != QLatin1String(":"))
            return invalid(QStringLiteral("has no port number after the address"));
        portText = rest.mid(close + 2);
    } else {
        const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
        if (colon < 0)
            return invalid(QStringLiteral("has no port number (write HOST:PORT)"));
        host = rest.left(colon);
        portText = rest.mid(colon + 1);
        if (host.isEmpty())
            return invalid(QStringLiteral("has no host"));
        if (host.contains(QLatin1Char(':')))
            return invalid(QStringLiteral("has an IPv6 address without brackets (write [ADDRESS]:PORT)"));
        bool digitsAndDots = true;
        for (const QChar c : host)
            digitsAndDots = digitsAndDots && (c == QLatin1Char('.') || (c >= QLatin1Char('0') && c <= QLatin1Char('9')));
        if (digitsAndDots) {
            // Only the dotted form with four numbers of 0..255 counts as an IPv4 address.
            const QStringList parts = host.split(QLatin1Char('.'));
            bool ok = parts.size() == 4;
            for (const QString &part : parts)
                ok = ok && !part.isEmpty() && part.size() <= 3 && part.toInt() <= 255;
            if (!ok)
                return invalid(QStringLiteral("has no valid IPv4 address"));
        } else if (!isHostName(host)) {
            return invalid(QStringLiteral("has no valid host name"));
        }
    }
    if (portText.isEmpty())
        return invalid(QStringLiteral("has no port number after the host"));
    for (const QChar c : portText) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return invalid(QStringLiteral("has no valid port number"));
    }
    const int port = portText.size() <= 5 ? portText.toInt() : 0;
    if (port < 1 || port > 65535)
        return invalid(QStringLiteral("has a port number outside 1 to 65535"));
    result.path = t;
    result.host = host;
    result.tcpPort = quint16(port);
    return result;
}
} // namespace

PortText parsePortText(const QString &text, ComPrefix prefix)
{
    PortText result;
    const QString t = text.trimmed();
    if (t.isEmpty()) {
        result.problem = QStringLiteral("No port given: %1.").arg(usage());
        return result;
    }
    if (t.startsWith(QLatin1Char('/'))) {
        result.kind = PortText::Path;
        result.path = t;
        return result;
    }
    const qsizetype schemeEnd = t.indexOf(QLatin1String("://"));
    if (schemeEnd >= 0) {
        PortText url = parseUrl(t, schemeEnd);
        if (!url.problem.isEmpty())
            url.kind = PortText::Invalid;
        return url;
    }
    // The port number is whatever follows the first three characters ("COM",
    // in any case): "com3", "COM 3" and "COM+3" all name port 3.
    if (prefix == ComPrefix::ComLetters && !t.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) {
        result.problem = QStringLiteral("\u201C%1\u201D is not a port name: %2.").arg(t, usage());
        return result;
    }
    if (t.size() <= 3) {
        result.problem = QStringLiteral("\u201C%1\u201D has no port number: %2.").arg(t, usage());
        return result;
    }
    QString digits = t.mid(3).trimmed();
    bool negative = false;
    if (digits.startsWith(QLatin1Char('+')) || digits.startsWith(QLatin1Char('-'))) {
        negative = digits.startsWith(QLatin1Char('-'));
        digits = digits.mid(1);
    }
    bool allDigits = !digits.isEmpty();
    for (const QChar c : digits)
        allDigits = allDigits && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    if (allDigits) {
        // Compare as text length first so huge numbers cannot overflow.
        QString n = digits;
        while (n.size() > 1 && n.startsWith(QLatin1Char('0')))
            n.remove(0, 1);
        int value = n.size() <= 4 ? n.toInt() : 100000;
        if (negative)
            value = -value;
        if (value >= 1 && value <= 255) {
            result.kind = PortText::Com;
            result.number = short(value);
            return result;
        }
        result.problem = QStringLiteral("\u201C%1\u201D: the port number must be 1 to 255: %2.").arg(t, usage());
        return result;
    }
    result.problem = QStringLiteral("\u201C%1\u201D is not a port name: %2.").arg(t, usage());
    return result;
}

} // namespace kestran
