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

struct Designed {
    const char *name;
    const char *kind;     // class name
    const char *parent;
    const char *caption;  // title, caption or initial text
    int left, top, width, height;   // twips
    qreal pt;             // 0: none
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

const char *const kTabOrder[] = {"cCom", "bCONNECT", "tTARGET", "tACTUAL", "tDIFFERENCE",
    "bSETUP", "sTARGET", "sACTUAL", "sRESET", "sDEBOUNCE0", "sDEBOUNCE1", "sDEBOUNCE2", "sALARM",
    "cTARGET", "cACTUAL", "cRESET", "cDEBOUNCE0", "cDEBOUNCE1", "cDEBOUNCE2", "cALARM", "bRead",
    "cDEVICE"};

const char *const kTextBoxes[] = {"tTARGET", "tACTUAL", "tDIFFERENCE", "sTARGET", "sACTUAL",
    "sRESET", "sDEBOUNCE0", "sDEBOUNCE1", "sDEBOUNCE2", "sALARM"};

QString captionOf(QObject *o)
{
    if (auto *g = qobject_cast<QGroupBox *>(o))
        return g->title();
    if (auto *l = qobject_cast<QLabel *>(o))
        return l->text();
    if (auto *b = qobject_cast<QAbstractButton *>(o))
        return b->text();
    if (auto *e = qobject_cast<QLineEdit *>(o))
        return e->text();
    if (auto *c = qobject_cast<QComboBox *>(o))
        return c->currentText();
    return QString();
}

// Room for text inside a line edit: its contents rectangle less the margins
// the line edit keeps around its text.
QRect lineEditTextRect(const QLineEdit *e)
{
    QStyleOptionFrame opt;
    opt.initFrom(e);
    opt.rect = QRect(QPoint(0, 0), e->size());
    opt.lineWidth = e->hasFrame() ? e->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, e) : 0;
    opt.midLineWidth = 0;
    QRect r = e->style()->subElementRect(QStyle::SE_LineEditContents, &opt, e);
    const QMargins m = e->textMargins();
    r = r.marginsRemoved(m);
    return r.adjusted(2, 1, -2, -1);   // the line edit's own horizontal and vertical margins
}

bool isBlue(QRgb p)
{
    return qBlue(p) > 160 && qRed(p) < 90 && qGreen(p) < 90;
}

int bluePixels(const QImage &img, const QRect &area)
{
    int n = 0;
    const QRect r = area.intersected(img.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            n += isBlue(img.pixel(x, y));
    return n;
}

} // namespace

class TestLayout : public QObject {
    Q_OBJECT

    FakeComm *comm = nullptr;
    Form1 *form = nullptr;

    template <class T = QWidget>
    T *control(const char *name) const
    {
        return form->findChild<T *>(QString::fromLatin1(name));
    }

private slots:
    // The window is never shown here: showing runs start-up, which changes
    // the designed state. A fresh window for every test.
    void init()
    {
        comm = new FakeComm;
        form = new Form1(comm);
    }
    void cleanup()
    {
        delete form;
        delete comm;
    }

    void window()
    {
        QCOMPARE(form->objectName(), QStringLiteral("Form1"));
        QCOMPARE(form->windowTitle(), QStringLiteral("KESTRAN SETUP"));
        QCOMPARE(form->size(), QSize(333, 740));
        QCOMPARE(form->minimumSize(), QSize(333, 740));
        QCOMPARE(form->maximumSize(), QSize(333, 740));
        QVERIFY(!form->font().bold());
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
        QWidget *w = control(d.name);
        QVERIFY2(w, d.name);
        QCOMPARE(w->metaObject()->className(), d.kind);
        QCOMPARE(w->parent()->objectName(), QString::fromLatin1(d.parent));
        QCOMPARE(w->geometry(), QRect(d.left / 15, d.top / 15, d.width / 15, d.height / 15));
        QCOMPARE(captionOf(w), QString::fromLatin1(d.caption));
        QVERIFY(w->isEnabled());
        QVERIFY(!w->isHidden());
        if (d.pt > 0) {
            QCOMPARE(w->font().bold(), d.bold);
            QCOMPARE(w->font().pointSizeF(), windowFont(d.pt, d.bold).pointSizeF());
            QCOMPARE(w->font().family(), windowFont(d.pt, d.bold).family());
            QVERIFY(!w->font().italic() && !w->font().underline() && !w->font().strikeOut());
        }
    }

    void designValues()
    {
        auto *dev = control<ComboBox>("cDEVICE");
        QCOMPARE(dev->count(), 8);
        for (int n = 0; n < 8; ++n) {
            QCOMPARE(dev->itemText(n), QStringLiteral("Device-%1").arg(n));
            QCOMPARE(dev->itemData(n), QVariant(0));
        }
        QCOMPARE(dev->ListIndex(), -1);
        QCOMPARE(dev->Text(), QString());
        for (ComboBox *c : {dev, control<ComboBox>("cCom")}) {
            QVERIFY(c->isEditable());
            QCOMPARE(c->insertPolicy(), QComboBox::NoInsert);
            QVERIFY(c->completer() == nullptr);
        }
        QCOMPARE(control<ComboBox>("cCom")->count(), 0);
        QCOMPARE(control<ComboBox>("cCom")->ListIndex(), -1);

        for (CheckBox *c : form->checkBoxes())
            QCOMPARE(c->Value(), 0);
        for (TextBox *t : form->displays())
            QCOMPARE(t->ForeColor(), kRed);
        for (TextBox *s : form->settingFields()) {
            QCOMPARE(s->text(), QStringLiteral("0"));
            QCOMPARE(s->ForeColor(), quint32(0x80000008));
        }
        QVERIFY(form->Timer1);
        QCOMPARE(form->Timer1->objectName(), QStringLiteral("Timer1"));
        QCOMPARE(form->Timer1->parent(), form->Frame1);
        QVERIFY(form->Timer1->Enabled());
        QCOMPARE(form->Timer1->Interval(), 0);
    }

    void tabOrder()
    {
        QStringList names;
        for (const auto &d : kDesign)
            names << QString::fromLatin1(d.name);
        QStringList order;
        QWidget *start = form->cCom;
        QWidget *w = start;
        do {
            if (names.contains(w->objectName()) && (w->focusPolicy() & Qt::TabFocus))
                order << w->objectName();
            w = w->nextInFocusChain();
        } while (w != start);
        QStringList expected;
        for (const char *n : kTabOrder)
            expected << QString::fromLatin1(n);
        QCOMPARE(order, expected);

        for (auto *g : form->findChildren<QGroupBox *>())
            QCOMPARE(g->focusPolicy(), Qt::NoFocus);
        for (auto *l : form->findChildren<QLabel *>())
            QCOMPARE(l->focusPolicy(), Qt::NoFocus);
        QCOMPARE(form->LEDCommunication->focusPolicy(), Qt::NoFocus);
    }

    void eightCharacters_data()
    {
        QTest::addColumn<QString>("name");
        for (const char *n : kTextBoxes)
            QTest::newRow(n) << QString::fromLatin1(n);
    }
    void eightCharacters()
    {
        QFETCH(QString, name);
        auto *t = form->findChild<TextBox *>(name);
        QVERIFY(t);
        QCOMPARE(t->maxLength(), 8);
        t->clear();
        QTest::keyClicks(t, QStringLiteral("123456789"));
        QCOMPARE(t->text(), QStringLiteral("12345678"));
    }

    // ---- every caption and text fits its control, nothing clipped
    void captionsFit_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        for (const auto &d : kDesign) {
            const QString kind = QString::fromLatin1(d.kind);
            if (kind == QLatin1String("QLabel") || kind == QLatin1String("QPushButton")
                || kind == QLatin1String("QGroupBox") || kind.endsWith(QLatin1String("CheckBox")))
                QTest::newRow(d.name) << QString::fromLatin1(d.name) << QString::fromLatin1(d.caption);
        }
        // bCONNECT's other captions
        QTest::newRow("bCONNECT Close") << QStringLiteral("bCONNECT") << QStringLiteral("Close");
        QTest::newRow("bCONNECT Wait") << QStringLiteral("bCONNECT") << QStringLiteral("Wait");
    }
    void captionsFit()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QWidget *w = form->findChild<QWidget *>(name);
        QVERIFY(w);
        const QFontMetrics fm(w->font());
        const int textWidth = fm.horizontalAdvance(text);
        QStyle *style = w->style();
        int room = 0;
        int roomHigh = w->height();
        if (qobject_cast<QCheckBox *>(w)) {
            room = w->width() - style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, w)
                   - style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, w);
        } else if (qobject_cast<QPushButton *>(w)) {
            const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, w);
            room = w->width() - 2 * style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, w) - 2 * frame;
            roomHigh -= 2 * frame;
        } else if (qobject_cast<QGroupBox *>(w)) {
            room = w->width() - 2 * 8;   // the caption sits inset from the frame's ends
            roomHigh = w->height() / 4;
        } else {
            room = w->contentsRect().width();
            roomHigh = w->contentsRect().height();
        }
        QVERIFY2(textWidth <= room,
                 qPrintable(QStringLiteral("%1: \"%2\" is %3 px, room %4 px")
                                .arg(name, text).arg(textWidth).arg(room)));
        QVERIFY2(fm.height() <= roomHigh,
                 qPrintable(QStringLiteral("%1: %2 px high, room %3 px").arg(name).arg(fm.height()).arg(roomHigh)));
    }

    void valuesFit_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        for (const char *n : kTextBoxes) {
            QTest::addRow("%s -1234567", n) << QString::fromLatin1(n) << QStringLiteral("-1234567");
            if (n[0] == 's')
                QTest::addRow("%s +0001234", n) << QString::fromLatin1(n) << QStringLiteral("+0001234");
        }
    }
    void valuesFit()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        auto *t = form->findChild<TextBox *>(name);
        QVERIFY(t);
        const QFontMetrics fm(t->font());
        const QRect room = lineEditTextRect(t);
        QVERIFY2(fm.horizontalAdvance(text) <= room.width(),
                 qPrintable(QStringLiteral("%1 px, room %2 px").arg(fm.horizontalAdvance(text)).arg(room.width())));
        QVERIFY2(fm.height() <= room.height(),
                 qPrintable(QStringLiteral("%1 px high, room %2 px").arg(fm.height()).arg(room.height())));
    }

    void listTextsFit_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::newRow("cDEVICE") << QStringLiteral("cDEVICE") << QStringLiteral("Device-7");
        QTest::newRow("cCom") << QStringLiteral("cCom") << QStringLiteral("COM255");
        QTest::newRow("cCom design") << QStringLiteral("cCom") << QStringLiteral("Combo1");
    }
    void listTextsFit()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        auto *c = form->findChild<ComboBox *>(name);
        QVERIFY(c);
        QStyleOptionComboBox opt;
        opt.initFrom(c);
        opt.rect = QRect(QPoint(0, 0), c->size());
        opt.editable = true;
        opt.frame = true;
        const QRect field = c->style()->subControlRect(QStyle::CC_ComboBox, &opt,
                                                        QStyle::SC_ComboBoxEditField, c);
        const QFontMetrics fm(c->font());
        const int room = field.width() - 2 * 2;   // the line edit's horizontal margins
        QVERIFY2(fm.horizontalAdvance(text) <= room,
                 qPrintable(QStringLiteral("%1 px, room %2 px").arg(fm.horizontalAdvance(text)).arg(room)));
        QVERIFY(fm.height() <= field.height());
    }

    // ---- only the frame captions are blue
    void frameCaptionsBlue()
    {
        const QImage img = form->grab().toImage();
        if (qEnvironmentVariableIsSet("KESTRAN_LAYOUT_PNG"))
            img.save(qEnvironmentVariable("KESTRAN_LAYOUT_PNG"));
        for (QGroupBox *g : {form->Frame1, form->Frame2, form->Frame3}) {
            const QRect title(g->geometry().topLeft(),
                              QSize(g->width(), QFontMetrics(g->font()).height() + 2));
            QVERIFY2(bluePixels(img, title) > 20, qPrintable(g->objectName()));
            // ... and nothing else of the frame: its border and inside.
            const QRect below = g->geometry().adjusted(0, title.height(), 0, 0);
            QVERIFY2(bluePixels(img, below) == 0, qPrintable(g->objectName()));
            // The frame's palette is untouched, so nothing inside inherits the blue.
            QVERIFY(!isBlue(g->palette().color(QPalette::WindowText).rgb()));
        }
        for (QWidget *w : form->findChildren<QWidget *>()) {
            if (qobject_cast<QGroupBox *>(w) || !w->isVisibleTo(form))
                continue;
            const QRect r(w->mapTo(form, QPoint(0, 0)), w->size());
            QVERIFY2(bluePixels(img, r) == 0, qPrintable(w->objectName()));
        }
    }

    // Controls inside a frame keep the fonts they were given (a style sheet
    // on a frame would hand the lists' edit fields the application font).
    void listEditFieldsUseTheListFont()
    {
        form->grab();
        for (ComboBox *c : {form->cDEVICE, form->cCom})
            QCOMPARE(c->lineEdit()->font(), c->font());
    }

    // The displays draw their digits in red.
    void displayTextRed()
    {
        form->tACTUAL->setText(QStringLiteral("-1234567"));
        const QImage img = form->tACTUAL->grab().toImage();
        form->tACTUAL->setText(QString());
        int red = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x) {
                const QRgb p = img.pixel(x, y);
                red += qRed(p) > 200 && qGreen(p) < 60 && qBlue(p) < 60;
            }
        QVERIFY(red > 20);
    }
};

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
