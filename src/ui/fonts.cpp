#include "fonts.h"

#include <QFontDatabase>
#include <QStringList>
#include <QFontInfo>
#include <QFontMetricsF>

namespace kestran {

namespace {

// Looks the family up among the installed ones, without loading a font:
// matching a missing family makes fontconfig sort every font for a substitute,
// which costs start-up time, and its substitution rules may answer with another
// family's name for a missing one.
bool installed(const QString &family)
{
    return QFontDatabase::families().contains(family, Qt::CaseInsensitive);
}

// Bold "DEBOUNCE(0)" at the window font's designed size is about this wide in
// the stand-in font. It leaves room in the narrowest check box (153 px with its
// indicator), and at this scale the tallest text (26.25 pt displays, 33 px high
// boxes) keeps its full line height.
constexpr qreal kReferenceWidthPx = 102.0;
constexpr qreal kDesignPt = 20.25;

FontChoice choose()
{
    if (installed(QString::fromLatin1(kDesignFamily)))
        return {QString::fromLatin1(kDesignFamily), 1.0};

    // Narrow families first: Cordia New is a condensed face.
    struct Candidate { const char *family; qreal scale; };
    static const Candidate candidates[] = {
        {"Liberation Sans Narrow", 0.65},   // package fonts-liberation
        {"DejaVu Sans Condensed", 0.53},    // package fonts-dejavu-extra
    };
    for (const Candidate &c : candidates) {
        if (installed(QString::fromLatin1(c.family)))
            return {QString::fromLatin1(c.family), c.scale};
    }

    // Whatever the system offers: scale it to the reference width.
    QFont f;
    f.setPointSizeF(kDesignPt);
    f.setBold(true);
    const qreal w = QFontMetricsF(f).horizontalAdvance(QStringLiteral("DEBOUNCE(0)"));
    const qreal scale = w > 0 ? qMin<qreal>(1.0, kReferenceWidthPx / w) : 0.65;
    return {QFontInfo(f).family(), scale};
}

} // namespace

const FontChoice &fontChoice()
{
    static const FontChoice choice = choose();
    return choice;
}

QFont windowFont(qreal designPt, bool bold)
{
    const FontChoice &c = fontChoice();
    QFont f(c.family);
    f.setPointSizeF(designPt * c.scale);
    f.setWeight(bold ? QFont::Bold : QFont::Normal);
    f.setItalic(false);
    f.setUnderline(false);
    f.setStrikeOut(false);
    return f;
}

} // namespace kestran
