// The window as designed, before start-up runs: every control's name, kind,
// container, caption, geometry and font; the tab order; the 8-character limit;
// that every caption and value fits its control; and the blue frame captions.
#include "controls.h"
#include "fakecomm.h"
#include "fonts.h"
#include "form1.h"

#include <QStyleOptionComboBox>
#include <QStyleOptionFrame>
#include <QtTest>

using namespace kestran;

namespace {

// kind: class name; caption: title, caption or initial text; geometry in
// twips; pt 0: no font of its own.
struct Designed {
    const char *name, *kind, *parent, *caption;
    int left, top, width, height;
    qreal pt;
    bool bold;
};

// The window description, restated.
const Designed kDesign[] = {
    {"Frame1", "QGroupBox", "Form1", "Com Port", 120, 120, 4695, 2295, 20.25, true},
    {"Label1", "QLabel", "Frame1", "Device Number", 240, 480, 2175, 735, 20.25, true},
    {"cDEVICE", "kestran::ComboBox", "Frame1", "", 2520, 480, 1935, 675, 20.25, false},
    {"bCONNECT", "QPushButton", "Frame1", "Open", 240, 1320, 1935, 615, 20.25, true},
    {"LEDCommunication", "kestran::Shape", "Frame1", "", 2400, 1320, 135, 615, 0, false},
    {"cCom", "kestran::ComboBox", "Frame1", "Combo1", 2520, 1320, 1935, 615, 20.25, true},
    {"Frame2", "QGroupBox", "Form1", "Display : KESTRAN Counter", 120, 2520, 4695, 2775, 20.25, true},
    {"nTARGET", "QLabel", "Frame2", "TARGET", 240, 600, 1815, 495, 20.25, true},
    {"tTARGET", "kestran::TextBox", "Frame2", "", 2280, 600, 2175, 495, 26.25, true},
    {"nACTUAL", "QLabel", "Frame2", "ACTUAL", 240, 1320, 1935, 495, 20.25, true},
    {"tACTUAL", "kestran::TextBox", "Frame2", "", 2280, 1320, 2175, 495, 26.25, true},
    {"nDIFFERENCE", "QLabel", "Frame2", "DIFFERENCE", 240, 2040, 1935, 495, 20.25, true},
    {"tDIFFERENCE", "kestran::TextBox", "Frame2", "", 2280, 2040, 2175, 495, 26.25, true},
    {"Frame3", "QGroupBox", "Form1", "Configuration Device", 120, 5280, 4695, 5655, 20.25, true},
    {"cTARGET", "kestran::CheckBox", "Frame3", "TARGET", 120, 600, 2175, 555, 20.25, false},
    {"sTARGET", "kestran::TextBox", "Frame3", "0", 2400, 600, 1935, 555, 20.25, true},
    {"cACTUAL", "kestran::CheckBox", "Frame3", "ACTUAL", 120, 1200, 2295, 555, 20.25, false},
    {"sACTUAL", "kestran::TextBox", "Frame3", "0", 2400, 1200, 1935, 555, 20.25, true},
    {"cRESET", "kestran::CheckBox", "Frame3", "RESET", 120, 1800, 2175, 615, 20.25, false},
    {"sRESET", "kestran::TextBox", "Frame3", "0", 2400, 1800, 1935, 555, 20.25, true},
    {"cDEBOUNCE0", "kestran::CheckBox", "Frame3", "DEBOUNCE(0)", 120, 2400, 2295, 555, 20.25, false},
    {"sDEBOUNCE0", "kestran::TextBox", "Frame3", "0", 2400, 2400, 1935, 555, 20.25, true},
    {"cDEBOUNCE1", "kestran::CheckBox", "Frame3", "DEBOUNCE(1)", 120, 3000, 2295, 555, 20.25, false},
    {"sDEBOUNCE1", "kestran::TextBox", "Frame3", "0", 2400, 3000, 1935, 555, 20.25, true},
    {"cDEBOUNCE2", "kestran::CheckBox", "Frame3", "DEBOUNCE(2)", 120, 3600, 2295, 555, 20.25, false},
    {"sDEBOUNCE2", "kestran::TextBox", "Frame3", "0", 2400, 3600, 1935, 555, 20.25, true},
    {"cALARM", "kestran::CheckBox", "Frame3", "ALARM", 120, 4200, 2295, 555, 20.25, false},
    {"sALARM", "kestran::TextBox", "Frame3", "0", 2400, 4200, 1935, 495, 20.25, true},
    {"bRead", "QPushButton", "Frame3", "Read", 120, 4920, 1935, 555, 20.25, true},
    {"bSETUP", "QPushButton", "Frame3", "Setup", 2400, 4920, 1935, 555, 20.25, true},
};

QString captionOf(QObject *o)   // title, caption, text or a list's current text
{
    for (const char *property : {"title", "text", "currentText"})
        if (const QVariant v = o->property(property); v.isValid())
            return v.toString();
    return QString();
}

// Room for one line of text inside a control: what is left once its style has
// taken indicator, margins and frame.
QSize roomFor(QWidget *w)
{
    QStyle *s = w->style();
    const auto pm = [&](QStyle::PixelMetric m) { return s->pixelMetric(m, nullptr, w); };
    if (qobject_cast<QCheckBox *>(w))
        return {w->width() - pm(QStyle::PM_IndicatorWidth) - pm(QStyle::PM_CheckBoxLabelSpacing), w->height()};
    if (qobject_cast<QPushButton *>(w)) {
        const int frame = pm(QStyle::PM_DefaultFrameWidth);
        return {w->width() - 2 * pm(QStyle::PM_ButtonMargin) - 2 * frame, w->height() - 2 * frame};
    }
    if (qobject_cast<QGroupBox *>(w))   // the caption sits inset from the frame's ends
        return {w->width() - 2 * 8, w->height() / 4};
    if (auto *c = qobject_cast<QComboBox *>(w)) {
        QStyleOptionComboBox opt;
        opt.initFrom(c);
        opt.editable = opt.frame = true;
        const QRect field = s->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, c);
        return {field.width() - 2 * 2, field.height()};   // less the line edit's own margins
    }
    if (auto *e = qobject_cast<QLineEdit *>(w)) {
        QStyleOptionFrame opt;
        opt.initFrom(e);
        opt.lineWidth = e->hasFrame() ? s->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, e) : 0;
        const QRect r = s->subElementRect(QStyle::SE_LineEditContents, &opt, e).marginsRemoved(e->textMargins());
        return r.adjusted(2, 1, -2, -1).size();   // the line edit's own margins
    }
    return w->contentsRect().size();
}

template <class Pred>
int countPixels(const QImage &img, const QRect &area, Pred pred)
{
    int n = 0;
    const QRect r = area.intersected(img.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            n += pred(img.pixel(x, y));
    return n;
}

bool isBlue(QRgb p) { return qBlue(p) > 160 && qRed(p) < 90 && qGreen(p) < 90; }

} // namespace

class TestLayout : public QObject {
    Q_OBJECT

    FakeComm *comm = nullptr;
    Form1 *form = nullptr;

private slots:
    // The window is never shown here: showing runs start-up, which changes
    // the designed state. A fresh window for every test.
    void init() { comm = new FakeComm; form = new Form1(comm); }
    void cleanup() { delete form; delete comm; }

    void window()
    {
        QCOMPARE(form->windowTitle(), QStringLiteral("KESTRAN SETUP"));
        QCOMPARE(form->size(), QSize(333, 740));   // and fixed
        QCOMPARE(form->minimumSize(), form->size());
        QCOMPARE(form->maximumSize(), form->size());
        QCOMPARE(form->font(), windowFont(20.25, false));
    }

    void controls_data()
    {
        QTest::addColumn<int>("row");
        for (int i = 0; i < int(std::size(kDesign)); ++i)
            QTest::newRow(kDesign[i].name) << i;
    }
    void controls()
    {
        QFETCH(int, row);
        const Designed &d = kDesign[row];
        QWidget *w = form->findChild<QWidget *>(QString::fromLatin1(d.name));
        QVERIFY(w);
        QCOMPARE(w->metaObject()->className(), d.kind);
        QCOMPARE(w->parent()->objectName(), QString::fromLatin1(d.parent));
        QCOMPARE(w->geometry(), QRect(d.left / 15, d.top / 15, d.width / 15, d.height / 15));
        QCOMPARE(captionOf(w), QString::fromLatin1(d.caption));
        QVERIFY(w->isEnabled() && !w->isHidden());
        if (d.pt > 0)   // family, size, weight; never italic, underlined or struck out
            QCOMPARE(w->font(), windowFont(d.pt, d.bold));
        if (auto *t = qobject_cast<TextBox *>(w)) {   // eight characters at most
            t->clear();
            QTest::keyClicks(t, QStringLiteral("123456789"));
            QCOMPARE(t->text(), QStringLiteral("12345678"));
        }
    }

    void designValues()
    {
        QCOMPARE(form->cDEVICE->count(), 8);
        for (int n = 0; n < 8; ++n) {
            QCOMPARE(form->cDEVICE->itemText(n), QStringLiteral("Device-%1").arg(n));
            QCOMPARE(form->cDEVICE->itemData(n), QVariant(0));
        }
        QCOMPARE(form->cCom->count(), 0);
        for (ComboBox *c : {form->cDEVICE, form->cCom}) {
            QCOMPARE(c->ListIndex(), -1);
            QVERIFY(c->isEditable() && !c->completer());
            QCOMPARE(c->insertPolicy(), QComboBox::NoInsert);
        }
        for (CheckBox *c : form->checkBoxes())
            QCOMPARE(c->Value(), 0);
        for (TextBox *t : form->displays())
            QCOMPARE(t->ForeColor(), kRed);
        for (TextBox *s : form->settingFields())
            QCOMPARE(s->ForeColor(), quint32(0x80000008));
        QCOMPARE(form->Timer1->objectName(), QStringLiteral("Timer1"));
        QCOMPARE(form->Timer1->parent(), form->Frame1);
        QVERIFY(form->Timer1->Enabled());
        QCOMPARE(form->Timer1->Interval(), 0);
    }

    void tabOrder()
    {
        QStringList designed, order;
        for (const auto &d : kDesign)
            designed << QString::fromLatin1(d.name);
        QWidget *w = form->cCom;
        do {
            if (designed.contains(w->objectName()) && (w->focusPolicy() & Qt::TabFocus))
                order << w->objectName();
            w = w->nextInFocusChain();
        } while (w != form->cCom);
        QCOMPARE(order, QStringLiteral("cCom bCONNECT tTARGET tACTUAL tDIFFERENCE bSETUP sTARGET "
                                       "sACTUAL sRESET sDEBOUNCE0 sDEBOUNCE1 sDEBOUNCE2 sALARM cTARGET "
                                       "cACTUAL cRESET cDEBOUNCE0 cDEBOUNCE1 cDEBOUNCE2 cALARM bRead cDEVICE")
                            .split(QLatin1Char(' ')));
        // Frames, labels and the lamp take no focus at all, not even by a click.
        for (const QString &n : designed)
            if (!order.contains(n))
                QCOMPARE(form->findChild<QWidget *>(n)->focusPolicy(), Qt::NoFocus);
    }

    // ---- every caption and value fits its control, nothing clipped
    void textFits_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        for (const auto &d : kDesign) {
            const QString name = QString::fromLatin1(d.name);
            if (QByteArray(d.kind).endsWith("TextBox")) {
                QTest::addRow("%s -1234567", d.name) << name << QStringLiteral("-1234567");
                if (d.name[0] == 's')
                    QTest::addRow("%s +0001234", d.name) << name << QStringLiteral("+0001234");
            } else if (*d.caption) {
                QTest::newRow(d.name) << name << QString::fromLatin1(d.caption);
            }
        }
        QTest::newRow("bCONNECT Close") << QStringLiteral("bCONNECT") << QStringLiteral("Close");
        QTest::newRow("bCONNECT Wait") << QStringLiteral("bCONNECT") << QStringLiteral("Wait");
        QTest::newRow("cDEVICE Device-7") << QStringLiteral("cDEVICE") << QStringLiteral("Device-7");
        QTest::newRow("cCom COM255") << QStringLiteral("cCom") << QStringLiteral("COM255");
    }
    void textFits()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QWidget *w = form->findChild<QWidget *>(name);
        QVERIFY(w);
        const QFontMetrics fm(w->font());
        const QSize need(fm.horizontalAdvance(text), fm.height()), room = roomFor(w);
        QVERIFY2(need.boundedTo(room) == need, qPrintable(QStringLiteral("needs %1x%2 px, room %3x%4 px")
                 .arg(need.width()).arg(need.height()).arg(room.width()).arg(room.height())));
    }

    // ---- as drawn: only the frame captions are blue, the displays' digits red,
    // and the lists' edit fields keep the lists' fonts (a style sheet on a
    // frame would hand them the application font).
    void drawnColoursAndFonts()
    {
        form->tACTUAL->setText(QStringLiteral("-1234567"));
        const QImage img = form->grab().toImage();
        for (QGroupBox *g : {form->Frame1, form->Frame2, form->Frame3}) {
            const QRect title(g->geometry().topLeft(),
                              QSize(g->width(), QFontMetrics(g->font()).height() + 2));
            QVERIFY2(countPixels(img, title, isBlue) > 20, qPrintable(g->objectName()));
            // ... and nothing else of the frame: its border and inside.
            QVERIFY2(countPixels(img, g->geometry().adjusted(0, title.height(), 0, 0), isBlue) == 0,
                     qPrintable(g->objectName()));
            // The frame's palette is untouched, so nothing inside inherits the blue.
            QVERIFY(!isBlue(g->palette().color(QPalette::WindowText).rgb()));
        }
        for (QWidget *w : form->findChildren<QWidget *>()) {
            if (qobject_cast<QGroupBox *>(w) || !w->isVisibleTo(form))
                continue;
            const QRect r(w->mapTo(form, QPoint(0, 0)), w->size());
            QVERIFY2(countPixels(img, r, isBlue) == 0, qPrintable(w->objectName()));
        }
        const QRect display(form->tACTUAL->mapTo(form, QPoint(0, 0)), form->tACTUAL->size());
        QVERIFY(countPixels(img, display, [](QRgb p) {
                    return qRed(p) > 200 && qGreen(p) < 60 && qBlue(p) < 60;
                }) > 20);
        for (ComboBox *c : {form->cDEVICE, form->cCom})
            QCOMPARE(c->lineEdit()->font(), c->font());
    }
};

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
