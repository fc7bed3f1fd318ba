#include "portname.h"

namespace kestran {

namespace {
QString usage()
{
    return QStringLiteral("type COM1 to COM255, or a device path such as /dev/ttyUSB0");
}
} // namespace

PortText parsePortText(const QString &text)
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
    // The port number is whatever follows the first three characters ("COM",
    // in any case): "com3", "COM 3" and "COM+3" all name port 3.
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
