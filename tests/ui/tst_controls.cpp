// The window's control kinds on their own: three-valued check boxes and what a
// click does to them, the interval timer's interval-0 rule, the combo box whose
// selection typed text never changes, colour values, the lamp and text colours.
#include "controls.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QSignalSpy>
#include <QVBoxLayout>
#include <QtTest>

using namespace kestran;

class TestControls : public QObject {
    Q_OBJECT

private slots:
    // ------------------------------------------------------------ colours
    void colours_data()
    {
        QTest::addColumn<quint32>("bgr");
        QTest::addColumn<QColor>("expected");
        QTest::newRow("red") << kRed << QColor(255, 0, 0);
        QTest::newRow("green") << kGreen << QColor(0, 192, 0);
        QTest::newRow("blue") << kBlue << QColor(0, 0, 255);
        QTest::newRow("mixed") << quint32(0x00336699) << QColor(0x99, 0x66, 0x33);
        QTest::newRow("button face")
            << kButtonFace << QApplication::palette().color(QPalette::Active, QPalette::Button);
        QTest::newRow("window text")
            << quint32(0x80000008) << QApplication::palette().color(QPalette::Active, QPalette::Text);
    }
    void colours()
    {
        QFETCH(quint32, bgr);
        QFETCH(QColor, expected);
        QCOMPARE(toQColor(bgr), expected);
    }

    // ------------------------------------------------------------ check box
    void checkBoxOperatorClick_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        for (const char *how : {"mouse", "space", "click()"}) {
            QTest::addRow("%s 0->1", how) << QString::fromLatin1(how) << 0 << 1;
            QTest::addRow("%s 1->0", how) << QString::fromLatin1(how) << 1 << 0;
            QTest::addRow("%s 2->1", how) << QString::fromLatin1(how) << 2 << 1;
        }
    }
    void checkBoxOperatorClick()
    {
        QFETCH(QString, how);
        QFETCH(int, from);
        QFETCH(int, to);
        QWidget w;
        auto *box = new CheckBox(QStringLiteral("TARGET"), &w);
        box->setGeometry(8, 8, 145, 37);
        w.resize(200, 60);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        box->setValue(from);
        QSignalSpy clicks(box, &CheckBox::Click);
        if (how == QLatin1String("mouse"))
            QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(10, box->height() / 2));
        else if (how == QLatin1String("space"))
            QTest::keyClick(box, Qt::Key_Space);
        else
            box->click();
        QCOMPARE(box->Value(), to);
        QCOMPARE(clicks.count(), 1);
    }

    void checkBoxSetValueRaisesClickInsideTheCall()
    {
        CheckBox box(QStringLiteral("ALARM"));
        QVector<int> seen;   // Value() as the handler sees it
        connect(&box, &CheckBox::Click, &box, [&] { seen << box.Value(); });

        box.setValue(1);
        QCOMPARE(seen, QVector<int>({1}));
        box.setValue(1);   // unchanged: nothing
        QCOMPARE(seen, QVector<int>({1}));
        box.setValue(2);
        box.setValue(0);
        QCOMPARE(seen, QVector<int>({1, 2, 0}));
        box.setValue(5);   // names no state
        QCOMPARE(box.Value(), 0);
        QCOMPARE(seen.size(), 3);
    }

    void checkBoxDisabledStillTakesValueFromCode()
    {
        CheckBox box(QStringLiteral("RESET"));
        box.setEnabled(false);
        QSignalSpy clicks(&box, &CheckBox::Click);
        box.setValue(2);
        QCOMPARE(box.Value(), 2);
        QCOMPARE(clicks.count(), 1);
        box.click();   // the operator cannot
        QCOMPARE(box.Value(), 2);
        QCOMPARE(clicks.count(), 1);
    }

    // ------------------------------------------------------------ timer
    void timerDesignState()
    {
        Timer t;
        QVERIFY(t.Enabled());
        QCOMPARE(t.Interval(), 0);
    }

    void timerIntervalZeroNeverTicks()
    {
        Timer t;
        QSignalSpy ticks(&t, &Timer::Tick);
        QTest::qWait(100);
        t.setEnabled(false);
        t.setEnabled(true);   // enabling with interval 0 starts nothing
        t.setInterval(0);
        QTest::qWait(100);
        QCOMPARE(ticks.count(), 0);
    }

    void timerTicksWhileEnabledAndStopsWhenDisabled()
    {
        Timer t;
        t.setEnabled(false);
        QSignalSpy ticks(&t, &Timer::Tick);
        t.setInterval(20);
        QTest::qWait(60);
        QCOMPARE(ticks.count(), 0);   // interval set but disabled

        t.setEnabled(true);
        QTRY_VERIFY_WITH_TIMEOUT(ticks.count() >= 3, 5000);   // keeps ticking
        t.setEnabled(false);
        const int count = ticks.count();
        QTest::qWait(100);
        QCOMPARE(ticks.count(), count);
    }

    void timerIntervalBackToZeroStops()
    {
        Timer t;
        QSignalSpy ticks(&t, &Timer::Tick);
        t.setInterval(20);
        QVERIFY(ticks.wait(5000));
        t.setInterval(0);
        const int count = ticks.count();
        QTest::qWait(100);
        QCOMPARE(ticks.count(), count);
        QVERIFY(t.Enabled());
    }

    // A handler that disables the timer at its first tick gets exactly one tick.
    void timerOneTickPerEnable()
    {
        Timer t;
        t.setEnabled(false);
        int ticks = 0;
        connect(&t, &Timer::Tick, &t, [&] { ++ticks; t.setEnabled(false); });
        t.setInterval(10);
        t.setEnabled(true);
        QTRY_COMPARE_WITH_TIMEOUT(ticks, 1, 5000);
        QTest::qWait(60);
        QCOMPARE(ticks, 1);
    }

    // ------------------------------------------------------------ combo box
    void comboTypedTextNeverSelects_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("enter");   // Enter, or focus leaving
        for (bool enter : {true, false}) {
            const char *how = enter ? "enter" : "focus out";
            QTest::addRow("exact, %s", how) << QStringLiteral("COM12") << enter;
            QTest::addRow("other case, %s", how) << QStringLiteral("com3") << enter;
            QTest::addRow("no entry, %s", how) << QStringLiteral("COM9") << enter;
        }
    }
    void comboTypedTextNeverSelects()
    {
        QFETCH(QString, typed);
        QFETCH(bool, enter);
        QWidget w;
        auto *layout = new QVBoxLayout(&w);
        auto *combo = new ComboBox(&w);
        auto *other = new QLineEdit(&w);
        layout->addWidget(combo);
        layout->addWidget(other);
        for (const char *t : {"COM1", "COM3", "COM12"})
            combo->AddItem(QString::fromLatin1(t));
        combo->setListIndex(0);
        w.show();
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        combo->setFocus();
        QTRY_VERIFY(combo->hasFocus());

        QSignalSpy clicks(combo, &ComboBox::Click);
        combo->lineEdit()->selectAll();
        QTest::keyClicks(combo, typed);
        QCOMPARE(combo->ListIndex(), 0);
        if (enter) {
            QTest::keyClick(combo, Qt::Key_Return);
            QCOMPARE(combo->ListIndex(), 0);
        }
        other->setFocus();
        QTRY_VERIFY(other->hasFocus());
        QCOMPARE(combo->ListIndex(), 0);
        QCOMPARE(combo->Text(), typed);
        QCOMPARE(combo->count(), 3);   // nothing inserted
        QCOMPARE(clicks.count(), 0);
    }

    void comboArrowKeysSelect_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("expected");
        QTest::newRow("down") << int(Qt::Key_Down) << 2;
        QTest::newRow("up") << int(Qt::Key_Up) << 0;
        QTest::newRow("end") << int(Qt::Key_End) << 2;   // End moves the cursor in the text
        QTest::newRow("page down") << int(Qt::Key_PageDown) << 2;
    }
    void comboArrowKeysSelect()
    {
        QFETCH(int, key);
        QFETCH(int, expected);
        ComboBox combo;
        for (const char *t : {"Device-0", "Device-1", "Device-2"})
            combo.AddItem(QString::fromLatin1(t));
        combo.setListIndex(1);
        QSignalSpy clicks(&combo, &ComboBox::Click);
        QTest::keyClick(&combo, Qt::Key(key));
        if (key == Qt::Key_End) {
            // In an editable list End belongs to the text cursor.
            QCOMPARE(combo.ListIndex(), 1);
            QCOMPARE(clicks.count(), 0);
            return;
        }
        QCOMPARE(combo.ListIndex(), expected);
        QCOMPARE(combo.Text(), QStringLiteral("Device-%1").arg(expected));
        QCOMPARE(clicks.count(), 1);
    }

    void comboPickFromPopup()
    {
        QWidget w;
        auto *combo = new ComboBox(&w);
        combo->setGeometry(10, 10, 129, 41);
        for (int n = 0; n < 8; ++n)
            combo->AddItem(QStringLiteral("Device-%1").arg(n));
        combo->setListIndex(0);
        w.resize(200, 80);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QSignalSpy clicks(combo, &ComboBox::Click);
        combo->showPopup();
        QAbstractItemView *view = combo->view();
        QTRY_VERIFY(view->isVisible());
        view->setCurrentIndex(combo->model()->index(5, 0));
        QTest::keyClick(view, Qt::Key_Return);
        QCOMPARE(combo->ListIndex(), 5);
        QCOMPARE(combo->Text(), QStringLiteral("Device-5"));
        QCOMPARE(clicks.count(), 1);
    }

    void comboSetListIndexRaisesClickInsideTheCall()
    {
        ComboBox combo;
        for (int n = 0; n < 8; ++n)
            combo.AddItem(QStringLiteral("Device-%1").arg(n));
        QString seen;
        connect(&combo, &ComboBox::Click, &combo, [&] { seen += combo.Text() + QLatin1Char(';'); });
        combo.setListIndex(0);
        QCOMPARE(seen, QStringLiteral("Device-0;"));
        combo.setListIndex(0);   // already selected
        QCOMPARE(seen, QStringLiteral("Device-0;"));
        combo.setListIndex(7);
        QCOMPARE(seen, QStringLiteral("Device-0;Device-7;"));
    }

    void comboClearEmptiesEverything()
    {
        ComboBox combo;
        combo.AddItem(QStringLiteral("COM1"));
        combo.AddItem(QStringLiteral("COM3"));
        combo.setListIndex(1);
        combo.setText(QStringLiteral("COM77"));   // typed, not an entry
        QSignalSpy clicks(&combo, &ComboBox::Click);
        combo.Clear();
        QCOMPARE(combo.count(), 0);
        QCOMPARE(combo.ListIndex(), -1);
        QCOMPARE(combo.Text(), QString());
        QCOMPARE(clicks.count(), 0);
    }

    void comboAddItemKeepsTextAndSelection()
    {
        ComboBox combo;
        combo.setText(QStringLiteral("Combo1"));
        QSignalSpy clicks(&combo, &ComboBox::Click);
        combo.AddItem(QStringLiteral("COM3"),
                      QStringLiteral("/dev/ttyUSB0 \u00b7 FT232R USB UART"));
        combo.AddItem(QStringLiteral("COM12"));
        QCOMPARE(combo.ListIndex(), -1);   // appending never selects
        QCOMPARE(combo.Text(), QStringLiteral("Combo1"));
        QCOMPARE(clicks.count(), 0);
        QCOMPARE(combo.itemText(0), QStringLiteral("COM3"));
        QCOMPARE(combo.Detail(0), QStringLiteral("/dev/ttyUSB0 \u00b7 FT232R USB UART"));
        QCOMPARE(combo.Detail(1), QString());
        QCOMPARE(combo.itemData(0).toInt(), 0);

        // The drop-down is wide enough for entry and detail side by side.
        const QFontMetrics fm(combo.view()->font());
        QVERIFY(combo.view()->minimumWidth()
                > fm.horizontalAdvance(QStringLiteral("COM3 /dev/ttyUSB0 \u00b7 FT232R USB UART")));

        combo.setListIndex(0);   // the entry's text, not its detail
        QCOMPARE(combo.Text(), QStringLiteral("COM3"));
    }

    // ------------------------------------------------------------ text box, lamp
    void textBoxColourShowsWhenDisabled()
    {
        TextBox t;
        QCOMPARE(t.ForeColor(), quint32(0x80000008));
        t.setForeColor(kGreen);
        QCOMPARE(t.ForeColor(), kGreen);
        t.setEnabled(false);
        QCOMPARE(t.palette().color(QPalette::Disabled, QPalette::Text), QColor(0, 192, 0));
        QCOMPARE(t.palette().color(QPalette::Active, QPalette::Text), QColor(0, 192, 0));
        t.setForeColor(0x80000008);   // back to the system colour, greyed when disabled
        QCOMPARE(t.palette().color(QPalette::Disabled, QPalette::Text),
                 QApplication::palette().color(QPalette::Disabled, QPalette::Text));
    }

    void shapeShowsItsFillColour()
    {
        Shape lamp;
        lamp.resize(9, 41);
        lamp.setFillColor(kGreen);
        QCOMPARE(lamp.FillColor(), kGreen);
        const QImage img = lamp.grab().toImage();
        QCOMPARE(QColor(img.pixel(4, 20)), QColor(0, 192, 0));
        lamp.setFillColor(kButtonFace);
        QCOMPARE(QColor(lamp.grab().toImage().pixel(4, 20)), toQColor(kButtonFace));
    }
};

QTEST_MAIN(TestControls)
#include "tst_controls.moc"
