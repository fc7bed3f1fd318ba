#include "valueinput.h"
#include "values.h"

namespace kestran {

namespace {
bool isAsciiDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

QString describeRange(ValueShape shape)
{
    const ValueRange r = valueRange(shape);
    return QStringLiteral("a whole number from %1 to %2").arg(r.min).arg(r.max);
}
} // namespace

QString scriptName(const Parameter &p)
{
    QString name = QString::fromLatin1(p.name);
    name.remove(QLatin1Char('(')).remove(QLatin1Char(')'));
    return name;
}

const Parameter *parameterByName(const QString &name)
{
    for (const Parameter &p : parameterTable()) {
        if (name.compare(scriptName(p), Qt::CaseInsensitive) == 0
            || name.compare(QLatin1String(p.name), Qt::CaseInsensitive) == 0)
            return &p;
    }
    return nullptr;
}

ValueRange valueRange(ValueShape shape)
{
    switch (shape) {
    case ValueShape::Debounce:
        return {0, 999};       // "+0000" and three digits
    case ValueShape::Alarm:
        return {0, 9};         // "+000000" and one digit
    case ValueShape::Signed:
    case ValueShape::None:
        break;
    }
    return {-9999999, 9999999};
}

bool isWellFormedField(const QString &field)
{
    if (field.size() != 8 || (field[0] != QLatin1Char('+') && field[0] != QLatin1Char('-')))
        return false;
    for (int i = 1; i < 8; ++i)
        if (!isAsciiDigit(field[i]))
            return false;
    return true;
}

QString valueFieldFor(const Parameter &p, const QString &text, QString *why)
{
    auto refuse = [&](const QString &reason) {
        if (why)
            *why = reason;
        return QString();
    };
    if (!p.hasSetting)
        return refuse(QStringLiteral("%1 is read-only").arg(scriptName(p)));

    // A value field as the counter sends it: taken as it stands when it has the shape.
    if (text.size() == 8 && isWellFormedField(text)) {
        if (hasValueShape(p.shape, text))
            return text;
        return refuse(QStringLiteral("\u201C%1\u201D is not a valid %2 value: %3 wants %4")
                          .arg(text, scriptName(p), scriptName(p), describeRange(p.shape)));
    }

    // Otherwise a whole number: an optional sign and ASCII digits, nothing else.
    qsizetype pos = 0;
    bool negative = false;
    if (!text.isEmpty() && (text[0] == QLatin1Char('+') || text[0] == QLatin1Char('-'))) {
        negative = text[0] == QLatin1Char('-');
        pos = 1;
    }
    const QString digits = text.mid(pos);
    bool allDigits = !digits.isEmpty();
    for (const QChar c : digits)
        allDigits = allDigits && isAsciiDigit(c);
    if (!allDigits)
        return refuse(QStringLiteral("\u201C%1\u201D is not a whole number (%2 wants %3)")
                          .arg(text, scriptName(p), describeRange(p.shape)));
    QString significant = digits;
    while (significant.size() > 1 && significant.startsWith(QLatin1Char('0')))
        significant.remove(0, 1);
    // Seven digits at most: compared as text first, so nothing can overflow.
    const long magnitude = significant.size() <= 7 ? significant.toLong() : 100000000L;
    const long value = negative ? -magnitude : magnitude;
    const ValueRange r = valueRange(p.shape);
    if (value < r.min || value > r.max)
        return refuse(QStringLiteral("%1 is out of range: %2 wants %3")
                          .arg(text, scriptName(p), describeRange(p.shape)));
    return QString(value < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        + QString::number(magnitude).rightJustified(7, QLatin1Char('0'));
}

} // namespace kestran
