// The window's controls as designed: names, kinds, containers, captions,
// geometry, fonts, colours and tab order. Lengths are in twips (15 to a pixel
// at 96 dots per inch); font sizes are the designed points.
#include "form1.h"

#include "controls.h"
#include "fonts.h"

#include <QProxyStyle>
#include <QStyleOptionGroupBox>

namespace kestran {

namespace {

constexpr qreal kWindowPt = 20.25;
constexpr qreal kDisplayPt = 26.25;

QRect twips(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

// Draws a frame's caption in a colour of its own. A colour in the frame's
// palette (or a style sheet on it) would reach every control inside the frame;
// a style set on one widget stays with that widget.
class CaptionColourStyle : public QProxyStyle {
public:
    explicit CaptionColourStyle(const QColor &colour) : m_colour(colour) {}

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex *option,
                            QPainter *painter, const QWidget *widget) const override
    {
        if (control == CC_GroupBox) {
            if (const auto *box = qstyleoption_cast<const QStyleOptionGroupBox *>(option)) {
                QStyleOptionGroupBox opt(*box);
                opt.textColor = m_colour;
                for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive})
                    opt.palette.setColor(g, QPalette::WindowText, m_colour);
                QProxyStyle::drawComplexControl(control, &opt, painter, widget);
                return;
            }
        }
        QProxyStyle::drawComplexControl(control, option, painter, widget);
    }

private:
    QColor m_colour;
};

template <class W>
W *place(W *w, const char *name, const QRect &geometry, const QFont &font)
{
    w->setObjectName(QString::fromLatin1(name));
    w->setGeometry(geometry);
    w->setFont(font);
    return w;
}

QGroupBox *frame(QWidget *parent, const char *name, const QString &caption, const QRect &g,
                 QStyle *captionStyle)
{
    auto *f = place(new QGroupBox(caption, parent), name, g, windowFont(kWindowPt, true));
    f->setStyle(captionStyle);
    f->setFocusPolicy(Qt::NoFocus);
    return f;
}

QLabel *label(QWidget *parent, const char *name, const QString &caption, const QRect &g)
{
    auto *l = place(new QLabel(caption, parent), name, g, windowFont(kWindowPt, true));
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    l->setFocusPolicy(Qt::NoFocus);
    return l;
}

QPushButton *button(QWidget *parent, const char *name, const QString &caption, const QRect &g)
{
    auto *b = place(new QPushButton(caption, parent), name, g, windowFont(kWindowPt, true));
    b->setAutoDefault(false);
    return b;
}

TextBox *textBox(QWidget *parent, const char *name, const QString &text, const QRect &g,
                 qreal pt)
{
    auto *t = place(new TextBox(parent), name, g, windowFont(pt, true));
    t->setMaxLength(8);
    t->setText(text);
    return t;
}

CheckBox *checkBox(QWidget *parent, const char *name, const QString &caption, const QRect &g)
{
    auto *c = place(new CheckBox(caption, parent), name, g, windowFont(kWindowPt, false));
    c->setValue(0);
    return c;
}

} // namespace

void Form1::createControls()
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("KESTRAN SETUP"));
    setFont(windowFont(kWindowPt, false));
    setFixedSize(4995 / 15, 11100 / 15);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, toQColor(kButtonFace));
    setPalette(pal);
    setAutoFillBackground(true);
    auto *captionStyle = new CaptionColourStyle(toQColor(kBlue));

    // ---- Com Port
    Frame1 = frame(this, "Frame1", QStringLiteral("Com Port"), twips(120, 120, 4695, 2295), captionStyle);
    Label1 = label(Frame1, "Label1", QStringLiteral("Device Number"), twips(240, 480, 2175, 735));
    cDEVICE = place(new ComboBox(Frame1), "cDEVICE", twips(2520, 480, 1935, 675),
                    windowFont(kWindowPt, false));
    for (int n = 0; n <= 7; ++n)
        cDEVICE->AddItem(QStringLiteral("Device-%1").arg(n));
    cDEVICE->setCurrentIndex(-1);   // nothing selected, empty text
    bCONNECT = button(Frame1, "bCONNECT", QStringLiteral("Open"), twips(240, 1320, 1935, 615));
    LEDCommunication = place(new Shape(Frame1), "LEDCommunication", twips(2400, 1320, 135, 615),
                             font());
    cCom = place(new ComboBox(Frame1), "cCom", twips(2520, 1320, 1935, 615),
                 windowFont(kWindowPt, true));
    cCom->setText(QStringLiteral("Combo1"));
    Timer1 = new Timer(Frame1);
    Timer1->setObjectName(QStringLiteral("Timer1"));

    // ---- Display : KESTRAN Counter
    Frame2 = frame(this, "Frame2", QStringLiteral("Display : KESTRAN Counter"),
                   twips(120, 2520, 4695, 2775), captionStyle);
    nTARGET = label(Frame2, "nTARGET", QStringLiteral("TARGET"), twips(240, 600, 1815, 495));
    tTARGET = textBox(Frame2, "tTARGET", QString(), twips(2280, 600, 2175, 495), kDisplayPt);
    nACTUAL = label(Frame2, "nACTUAL", QStringLiteral("ACTUAL"), twips(240, 1320, 1935, 495));
    tACTUAL = textBox(Frame2, "tACTUAL", QString(), twips(2280, 1320, 2175, 495), kDisplayPt);
    nDIFFERENCE = label(Frame2, "nDIFFERENCE", QStringLiteral("DIFFERENCE"),
                        twips(240, 2040, 1935, 495));
    tDIFFERENCE = textBox(Frame2, "tDIFFERENCE", QString(), twips(2280, 2040, 2175, 495),
                          kDisplayPt);
    for (TextBox *t : {tTARGET, tACTUAL, tDIFFERENCE})
        t->setForeColor(kRed);

    // ---- Configuration Device
    Frame3 = frame(this, "Frame3", QStringLiteral("Configuration Device"),
                   twips(120, 5280, 4695, 5655), captionStyle);
    cTARGET = checkBox(Frame3, "cTARGET", QStringLiteral("TARGET"), twips(120, 600, 2175, 555));
    sTARGET = textBox(Frame3, "sTARGET", QStringLiteral("0"), twips(2400, 600, 1935, 555), kWindowPt);
    cACTUAL = checkBox(Frame3, "cACTUAL", QStringLiteral("ACTUAL"), twips(120, 1200, 2295, 555));
    sACTUAL = textBox(Frame3, "sACTUAL", QStringLiteral("0"), twips(2400, 1200, 1935, 555), kWindowPt);
    cRESET = checkBox(Frame3, "cRESET", QStringLiteral("RESET"), twips(120, 1800, 2175, 615));
    sRESET = textBox(Frame3, "sRESET", QStringLiteral("0"), twips(2400, 1800, 1935, 555), kWindowPt);
    cDEBOUNCE0 = checkBox(Frame3, "cDEBOUNCE0", QStringLiteral("DEBOUNCE(0)"),
                          twips(120, 2400, 2295, 555));
    sDEBOUNCE0 = textBox(Frame3, "sDEBOUNCE0", QStringLiteral("0"), twips(2400, 2400, 1935, 555),
                         kWindowPt);
    cDEBOUNCE1 = checkBox(Frame3, "cDEBOUNCE1", QStringLiteral("DEBOUNCE(1)"),
                          twips(120, 3000, 2295, 555));
    sDEBOUNCE1 = textBox(Frame3, "sDEBOUNCE1", QStringLiteral("0"), twips(2400, 3000, 1935, 555),
                         kWindowPt);
    cDEBOUNCE2 = checkBox(Frame3, "cDEBOUNCE2", QStringLiteral("DEBOUNCE(2)"),
                          twips(120, 3600, 2295, 555));
    sDEBOUNCE2 = textBox(Frame3, "sDEBOUNCE2", QStringLiteral("0"), twips(2400, 3600, 1935, 555),
                         kWindowPt);
    cALARM = checkBox(Frame3, "cALARM", QStringLiteral("ALARM"), twips(120, 4200, 2295, 555));
    sALARM = textBox(Frame3, "sALARM", QStringLiteral("0"), twips(2400, 4200, 1935, 495), kWindowPt);
    bRead = button(Frame3, "bRead", QStringLiteral("Read"), twips(120, 4920, 1935, 555));
    bSETUP = button(Frame3, "bSETUP", QStringLiteral("Setup"), twips(2400, 4920, 1935, 555));

    // ---- tab order: only these take the focus, in this order
    QWidget *const order[] = {cCom, bCONNECT, tTARGET, tACTUAL, tDIFFERENCE, bSETUP,
                              sTARGET, sACTUAL, sRESET, sDEBOUNCE0, sDEBOUNCE1, sDEBOUNCE2, sALARM,
                              cTARGET, cACTUAL, cRESET, cDEBOUNCE0, cDEBOUNCE1, cDEBOUNCE2, cALARM,
                              bRead, cDEVICE};
    for (size_t i = 1; i < sizeof order / sizeof order[0]; ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
    // The first of the order has the focus when the window comes up: a port
    // name typed at once lands in the port box.
    cCom->setFocus();

    // Owned by the window; made its child last, so it goes after the frames.
    captionStyle->setParent(this);
}

} // namespace kestran
