#include "values.h"

namespace kestran {

bool hasValueShape(ValueShape shape, const QString &text)
{
    if (text.size() != 8)
        return false;
    switch (shape) {
    case ValueShape::Signed:
        return text.startsWith(QLatin1Char('+')) || text.startsWith(QLatin1Char('-'));
    case ValueShape::Debounce:
        return text.startsWith(QLatin1String("+0000"));
    case ValueShape::Alarm:
        return text.startsWith(QLatin1String("+000000"));
    case ValueShape::None:
        break;
    }
    return false;
}

QString formatDisplay(const QString &value)
{
    qsizetype pos = 0;
    bool negative = false;
    if (pos < value.size() && (value[pos] == QLatin1Char('+') || value[pos] == QLatin1Char('-'))) {
        negative = value[pos] == QLatin1Char('-');
        ++pos;
    }
    const qsizetype firstDigit = pos;
    if (firstDigit == value.size())
        return value; // empty, or a bare sign
    for (qsizetype i = firstDigit; i < value.size(); ++i) {
        const char16_t u = value[i].unicode();
        if (u < u'0' || u > u'9')
            return value; // not a whole number: shown as received
    }
    // Digits only from here on. Drop the leading zeros but keep every
    // significant digit: a field of eight digits is shown in full.
    qsizetype start = firstDigit;
    while (start < value.size() - 1 && value[start] == QLatin1Char('0'))
        ++start;
    QString digits = value.mid(start);
    if (negative && digits != QLatin1String("0"))
        digits.prepend(QLatin1Char('-'));
    return digits;
}

bool stepWrites(int checkValue, const QString &text)
{
    return checkValue == 1 && text.size() == 8;
}

} // namespace kestran
