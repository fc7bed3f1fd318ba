// The window's control kinds on their own: three-valued check boxes and what a
// click does to them, the interval timer's interval-0 rule, the combo box whose
// selection typed text never changes, colour values, the lamp and text colours.
#include "controls.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QSignalSpy>
#include <QtTest>

using namespace kestran;

namespace {

void addDevices(ComboBox *combo, int n)
{
    for (int i = 0; i < n; ++i)
        combo->AddItem(QStringLiteral("Device-%1").arg(i));
}

} // namespace

class TestControls : public QObject {
    Q_OBJECT

private slots:
    // ------------------------------------------------------------ colours
    void colours_data()
    {
        QTest::addColumn<quint32>("bgr");
        QTest::addColumn<QColor>("expected");
        const QPalette pal = QApplication::palette();
        QTest::newRow("red") << kRed << QColor(255, 0, 0);
        QTest::newRow("green") << kGreen << QColor(0, 192, 0);
        QTest::newRow("blue") << kBlue << QColor(0, 0, 255);
        QTest::newRow("mixed") << quint32(0x00336699) << QColor(0x99, 0x66, 0x33);
        QTest::newRow("button face") << kButtonFace << pal.color(QPalette::Active, QPalette::Button);
        QTest::newRow("window text") << quint32(0x80000008) << pal.color(QPalette::Active, QPalette::Text);
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
        for (const char *how : {"mouse", "space", "click()"})
            for (auto [from, to] : {std::pair{0, 1}, std::pair{1, 0}, std::pair{2, 1}})
                QTest::addRow("%s %d->%d", how, from, to) << QString::fromLatin1(how) << from << to;
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

    // Value from code raises Click inside the call, on a change only, and also
    // when the box is disabled (the operator then cannot click it).
    void checkBoxSetValue()
    {
        CheckBox box(QStringLiteral("ALARM"));
        QVector<int> seen;   // Value() as the handler sees it
        connect(&box, &CheckBox::Click, &box, [&] { seen << box.Value(); });
        box.setValue(1);
        QCOMPARE(seen, QVector<int>({1}));
        box.setValue(1);   // unchanged: nothing
        box.setValue(2);
        box.setValue(0);
        box.setValue(5);   // names no state
        QCOMPARE(box.Value(), 0);
        QCOMPARE(seen, QVector<int>({1, 2, 0}));
        box.setEnabled(false);
        box.setValue(2);
        box.click();
        QCOMPARE(box.Value(), 2);
        QCOMPARE(seen, QVector<int>({1, 2, 0, 2}));
    }

    // ------------------------------------------------------------ timer
    // Ticks only while Enabled and Interval > 0: interval 0 never ticks whatever
    // Enabled says, and disabling or going back to 0 stops a running timer.
    void timerTicksOnlyWhenEnabledWithInterval()
    {
        Timer t;
        QSignalSpy ticks(&t, &Timer::Tick);
        t.setEnabled(false);
        t.setEnabled(true);   // enabling with interval 0 starts nothing
        QTest::qWait(100);
        QCOMPARE(ticks.count(), 0);
        t.setEnabled(false);
        t.setInterval(20);
        QTest::qWait(60);
        QCOMPARE(ticks.count(), 0);   // interval set but disabled
        t.setEnabled(true);
        QTRY_VERIFY_WITH_TIMEOUT(ticks.count() >= 3, 5000);   // keeps ticking
        t.setEnabled(false);
        int count = ticks.count();
        QTest::qWait(100);
        QCOMPARE(ticks.count(), count);
        t.setEnabled(true);
        QVERIFY(ticks.wait(5000));
        t.setInterval(0);
        count = ticks.count();
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
    // Picking an entry (keys, drop-down, code) selects it and raises Click once,
    // inside the call, with the new entry in place. Typed text never selects,
    // whatever it matches, not on Enter and not when focus leaves.
    void comboSelection_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("expected");   // from entry 1 of 8
        QTest::newRow("down") << "key" << int(Qt::Key_Down) << QString() << 2;
        QTest::newRow("up") << "key" << int(Qt::Key_Up) << QString() << 0;
        QTest::newRow("page down") << "key" << int(Qt::Key_PageDown) << QString() << 2;
        QTest::newRow("end") << "key" << int(Qt::Key_End) << QString() << 1;   // moves the text cursor
        QTest::newRow("drop-down") << "drop-down" << 0 << QString() << 5;
        QTest::newRow("code") << "code" << 0 << QString() << 7;
        QTest::newRow("code, same entry") << "code" << 0 << QString() << 1;   // no Click
        for (int key : {int(Qt::Key_Return), 0}) {   // Enter then focus out, or focus out alone
            const char *how = key ? "enter" : "focus out";
            QTest::addRow("typed exact, %s", how) << "type" << key << QStringLiteral("Device-2") << 1;
            QTest::addRow("typed other case, %s", how) << "type" << key << QStringLiteral("device-3") << 1;
            QTest::addRow("typed no entry, %s", how) << "type" << key << QStringLiteral("Device-9") << 1;
        }
    }
    void comboSelection()
    {
        QFETCH(QString, how);
        QFETCH(int, key);
        QFETCH(QString, typed);
        QFETCH(int, expected);
        QWidget w;
        auto *combo = new ComboBox(&w);
        auto *other = new QLineEdit(&w);
        combo->setGeometry(10, 10, 129, 41);
        other->setGeometry(10, 60, 129, 30);
        addDevices(combo, 8);
        combo->setListIndex(1);
        w.resize(200, 100);
        w.show();
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        combo->setFocus();
        QTRY_VERIFY(combo->hasFocus());
        QString seen;   // Text() as the handler sees it
        connect(combo, &ComboBox::Click, combo, [&] { seen += combo->Text() + QLatin1Char(';'); });

        if (how == QLatin1String("code")) {
            combo->setListIndex(expected);
        } else if (how == QLatin1String("drop-down")) {
            combo->showPopup();
            QTRY_VERIFY(combo->view()->isVisible());
            combo->view()->setCurrentIndex(combo->model()->index(expected, 0));
            QTest::keyClick(combo->view(), Qt::Key_Return);
        } else if (how == QLatin1String("key")) {
            QTest::keyClick(combo, Qt::Key(key));
        } else {
            combo->lineEdit()->selectAll();
            QTest::keyClicks(combo, typed);
            if (key)
                QTest::keyClick(combo, Qt::Key(key));
            other->setFocus();
            QTRY_VERIFY(other->hasFocus());
        }
        const QString text = typed.isEmpty() ? QStringLiteral("Device-%1").arg(expected) : typed;
        QCOMPARE(combo->ListIndex(), expected);
        QCOMPARE(combo->Text(), text);
        QCOMPARE(combo->count(), 8);   // nothing inserted
        QCOMPARE(seen, expected == 1 ? QString() : text + QLatin1Char(';'));
    }

    // Appending never selects and keeps the typed text; Clear empties
    // everything without a Click.
    void comboAddItemThenClear()
    {
        ComboBox combo;
        combo.setText(QStringLiteral("Combo1"));
        QSignalSpy clicks(&combo, &ComboBox::Click);
        const QString detail = QStringLiteral("/dev/ttyUSB0 \u00b7 FT232R USB UART");
        combo.AddItem(QStringLiteral("COM3"), detail);
        combo.AddItem(QStringLiteral("COM12"));
        QCOMPARE(combo.ListIndex(), -1);
        QCOMPARE(combo.Text(), QStringLiteral("Combo1"));
        QCOMPARE(clicks.count(), 0);
        QCOMPARE(combo.Detail(0), detail);
        QCOMPARE(combo.Detail(1), QString());
        // The drop-down is wide enough for entry and detail side by side.
        QVERIFY(combo.view()->minimumWidth()
                > QFontMetrics(combo.view()->font()).horizontalAdvance(QStringLiteral("COM3 ") + detail));
        combo.setListIndex(0);   // the entry's text, not its detail
        QCOMPARE(combo.Text(), QStringLiteral("COM3"));

        combo.setText(QStringLiteral("COM77"));   // typed, not an entry
        combo.Clear();
        QCOMPARE(combo.count(), 0);
        QCOMPARE(combo.ListIndex(), -1);
        QCOMPARE(combo.Text(), QString());
        QCOMPARE(clicks.count(), 1);   // only the setListIndex above
    }

    // ------------------------------------------------------------ text box, lamp
    void textBoxColourShowsWhenDisabled()
    {
        TextBox t;
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
        QCOMPARE(QColor(lamp.grab().toImage().pixel(4, 20)), QColor(0, 192, 0));
        lamp.setFillColor(kButtonFace);
        QCOMPARE(QColor(lamp.grab().toImage().pixel(4, 20)), toQColor(kButtonFace));
    }
};

QTEST_MAIN(TestControls)
#include "tst_controls.moc"
