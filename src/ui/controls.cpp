#include "controls.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QSignalBlocker>
#include <QStyledItemDelegate>

namespace kestran {

namespace {

// System colour index (low byte of a value with the top bit set) to the
// palette role that plays its part here.
QPalette::ColorRole systemRole(quint32 bgr)
{
    switch (bgr & 0xFF) {
    case 0x01: return QPalette::Window;          // desktop
    case 0x02: return QPalette::Highlight;       // active caption
    case 0x04: return QPalette::Window;          // menu
    case 0x05: return QPalette::Base;            // window background
    case 0x06: return QPalette::Shadow;          // window frame
    case 0x07: return QPalette::WindowText;      // menu text
    case 0x08: return QPalette::Text;            // window text
    case 0x09: return QPalette::HighlightedText; // caption text
    case 0x0D: return QPalette::Highlight;
    case 0x0E: return QPalette::HighlightedText;
    case 0x0F: return QPalette::Button;          // button face
    case 0x10: return QPalette::Dark;            // button shadow
    case 0x12: return QPalette::ButtonText;
    case 0x14: return QPalette::Light;           // 3D highlight
    case 0x15: return QPalette::Shadow;          // 3D dark shadow
    case 0x16: return QPalette::Midlight;        // 3D light
    case 0x17: return QPalette::ToolTipText;
    case 0x18: return QPalette::ToolTipBase;
    default:   return QPalette::Window;
    }
}

constexpr bool isSystemColour(quint32 bgr) { return (bgr & 0x80000000u) != 0; }

// Gray text is the disabled text colour rather than a role of its own.
QColor systemColour(quint32 bgr, QPalette::ColorGroup group)
{
    const QPalette pal = QApplication::palette();
    if ((bgr & 0xFF) == 0x11)
        return pal.color(QPalette::Disabled, QPalette::Text);
    return pal.color(group, systemRole(bgr));
}

// Paints an entry of a list as usual, followed by its detail text in a
// subdued colour.
class DetailDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    static constexpr int kGap = 12;   // between an entry's text and its detail

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override
    {
        QStyledItemDelegate::paint(painter, option, index);
        const QString detail = index.data(ComboBox::DetailRole).toString();
        if (detail.isEmpty())
            return;
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const QFontMetrics fm(opt.font);
        const int textRight = opt.rect.left() + textMargin(opt)
                              + fm.horizontalAdvance(opt.text) + kGap;
        QRect r = opt.rect;
        r.setLeft(textRight);
        const bool selected = opt.state & QStyle::State_Selected;
        QColor c = opt.palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
        if (!selected)
            c.setAlphaF(0.6);
        painter->save();
        painter->setFont(opt.font);
        painter->setPen(c);
        painter->drawText(r, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                          fm.elidedText(detail, Qt::ElideRight, r.width()));
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QSize s = QStyledItemDelegate::sizeHint(option, index);
        const QString detail = index.data(ComboBox::DetailRole).toString();
        if (!detail.isEmpty())
            s.rwidth() += kGap + QFontMetrics(option.font).horizontalAdvance(detail);
        return s;
    }

    static int textMargin(const QStyleOptionViewItem &opt)
    {
        const QStyle *style = opt.widget ? opt.widget->style() : QApplication::style();
        return style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, opt.widget) + 1;
    }
};

} // namespace

QColor toQColor(quint32 bgr)
{
    if (isSystemColour(bgr))
        return systemColour(bgr, QPalette::Active);
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}

// ---------------------------------------------------------------- CheckBox

CheckBox::CheckBox(const QString &caption, QWidget *parent)
    : QCheckBox(caption, parent)
{
    setTristate(true);
    connect(this, &QCheckBox::stateChanged, this, &CheckBox::Click);
}

int CheckBox::Value() const
{
    switch (checkState()) {
    case Qt::Checked: return 1;
    case Qt::PartiallyChecked: return 2;
    default: return 0;
    }
}

void CheckBox::setValue(int value)
{
    // Values other than 0, 1 and 2 name no state of the box and are ignored.
    switch (value) {
    case 0: setCheckState(Qt::Unchecked); break;
    case 1: setCheckState(Qt::Checked); break;
    case 2: setCheckState(Qt::PartiallyChecked); break;
    default: break;
    }
}

void CheckBox::nextCheckState()
{
    setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
}

// ---------------------------------------------------------------- TextBox

TextBox::TextBox(QWidget *parent)
    : QLineEdit(parent)
{
}

void TextBox::setForeColor(quint32 bgr)
{
    m_foreColor = bgr;
    QPalette pal = palette();
    // A system colour follows the platform in every state, greyed when the box
    // is disabled. An explicit colour shows in every state, so a disabled field
    // keeps showing the verdict of its last colour check.
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        pal.setColor(g, QPalette::Text,
                     isSystemColour(bgr) ? systemColour(bgr, g) : toQColor(bgr));
    }
    setPalette(pal);
}

// ---------------------------------------------------------------- ComboBox

ComboBox::ComboBox(QWidget *parent)
    : QComboBox(parent)
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    setCompleter(nullptr);
    setDuplicatesEnabled(true);
    // The combo box commits a typed text that matches an entry when Enter is
    // pressed and when the field loses focus. Here only picking an entry
    // selects one, so both connections go.
    disconnect(lineEdit(), SIGNAL(returnPressed()), this, nullptr);
    disconnect(lineEdit(), SIGNAL(editingFinished()), this, nullptr);
    setItemDelegate(new DetailDelegate(view()));
    // The operator's picks: Qt raises `activated` for each, also when the
    // entry picked is already the current one (its text then comes back).
    connect(this, &QComboBox::activated, this, &ComboBox::Click);
}

void ComboBox::setListIndex(int index)
{
    const int before = currentIndex();
    setCurrentIndex(index);
    if (currentIndex() != before)
        emit Click();
}

void ComboBox::AddItem(const QString &text, const QString &detail)
{
    // Appending never selects: an empty list stays without selection and keeps
    // its text.
    const int before = currentIndex();
    const QString typed = currentText();
    {
        const QSignalBlocker block(this);
        addItem(text, QVariant(0));
        if (!detail.isEmpty())
            setItemData(count() - 1, detail, DetailRole);
        if (currentIndex() != before) {
            setCurrentIndex(before);
            setEditText(typed);
        }
    }
    updatePopupWidth();
}

void ComboBox::Clear()
{
    clear();
    clearEditText();
    updatePopupWidth();
}

QString ComboBox::Detail(int index) const
{
    return itemData(index, DetailRole).toString();
}

void ComboBox::updatePopupWidth()
{
    int widest = 0;
    const QFontMetrics fm(view()->font());
    for (int i = 0; i < count(); ++i) {
        int w = fm.horizontalAdvance(itemText(i));
        const QString detail = Detail(i);
        if (!detail.isEmpty())
            w += DetailDelegate::kGap + fm.horizontalAdvance(detail);
        widest = qMax(widest, w);
    }
    // Room for the item margins and a vertical scroll bar.
    const int extra = 4 * style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this)
                      + style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this) + 16;
    view()->setMinimumWidth(widest > 0 ? widest + extra : 0);
}

// ---------------------------------------------------------------- Shape

Shape::Shape(QWidget *parent)
    : QWidget(parent)
{
    setFocusPolicy(Qt::NoFocus);
}

void Shape::setFillColor(quint32 bgr)
{
    if (bgr == m_fill)
        return;
    m_fill = bgr;
    update();
}

void Shape::paintEvent(QPaintEvent *)
{
    // Solid fill with a one-pixel outline in the window text colour, so the
    // lamp stays visible when its fill is the window's own button-face colour.
    QPainter p(this);
    p.fillRect(rect(), toQColor(m_fill));
    p.setPen(palette().color(QPalette::WindowText));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

// ---------------------------------------------------------------- Timer

Timer::Timer(QObject *parent)
    : QObject(parent)
{
#ifdef Q_OS_WIN
    // The window timer (WM_TIMER), never early. A precise timer there is the
    // multimedia timer, whose tick under Wine does not wake an event loop that
    // waits for more events: with nothing else happening a pause would last
    // until some other event came.
    m_timer.setTimerType(Qt::CoarseTimer);
#else
    m_timer.setTimerType(Qt::PreciseTimer);
#endif
    connect(&m_timer, &QTimer::timeout, this, &Timer::Tick);
}

void Timer::setInterval(int ms)
{
    m_interval = qMax(0, ms);
    apply();   // a running timer counts the new interval from now
}

void Timer::setEnabled(bool on)
{
    if (on == m_enabled)
        return;
    m_enabled = on;
    apply();
}

void Timer::apply()
{
    if (m_enabled && m_interval > 0)
        m_timer.start(m_interval);
    else
        m_timer.stop();
}

} // namespace kestran
