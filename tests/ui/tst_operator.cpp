// The window as the operator drives it, with key presses and mouse clicks on
// the shown window: where the focus starts and how Tab walks, which picks of a
// device start a read, and what the window looks like after Open and Close.
#include "fakecomm.h"
#include "windowfixture.h"

#include <QAbstractItemView>
#include <QStyleOptionComboBox>
#include <QtTest>

using namespace kestran;

namespace {

QByteArray readAll(char device)
{
    return QByteArray("*") + device + "R:?=?\r";
}

// The control that holds the focus, by name (a combo box's edit field counts as the combo box).
QString focusName()
{
    QWidget *w = QApplication::focusWidget();
    while (w && w->objectName().isEmpty())
        w = w->parentWidget();
    return w ? w->objectName() : QString();
}

} // namespace

class TestOperator : public QObject {
    Q_OBJECT

    FakeComm *comm = nullptr;
    Form1 *form = nullptr;

    QWindow *window() const { return form->windowHandle(); }

    // Characters typed on the keyboard go wherever the focus is.
    void type(const QString &text)
    {
        for (const QChar c : text)
            QTest::keyClick(window(), c.toLatin1());
    }
    void click(QWidget *w, QPoint at = QPoint())
    {
        QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, at.isNull() ? w->rect().center() : at);
    }
    void open()
    {
        form->cCom->setText(QStringLiteral("COM3"));
        click(form->bCONNECT);
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Close"));
    }
    // Every value of the counter arrives, so nothing the window shows is empty.
    void fillFromCounter(char device)
    {
        for (char index = '0'; index <= '7'; ++index)
            comm->receive(reply(device, index, index == '4' ? "+0000040" : "+0001234"));
        QCOMPARE(form->sDEBOUNCE0->text(), QStringLiteral("+0000040"));
    }
    // Where a mouse click opens the drop-down of a combo box: its arrow.
    static QPoint arrowOf(ComboBox *combo)
    {
        QStyleOptionComboBox opt;
        opt.initFrom(combo);
        opt.editable = true;
        return combo->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxArrow, combo).center();
    }

private slots:
    void init()
    {
        comm = new FakeComm;
        form = new Form1(comm);
        form->show();
        QApplication::setActiveWindow(form);
        QVERIFY(QTest::qWaitForWindowActive(form));
    }
    void cleanup()
    {
        closeMessageBoxes();
        delete form;
        delete comm;
    }

    // An operator who starts typing at once types the port name into the port box.
    void focusStartsInPortBox()
    {
        QCOMPARE(focusName(), QStringLiteral("cCom"));
        type(QStringLiteral("COM9"));
        QCOMPARE(form->cCom->Text(), QStringLiteral("COM9"));
        QCOMPARE(form->cDEVICE->Text(), QStringLiteral("Device-0"));
        QVERIFY(comm->log.isEmpty());
    }

    // Tab visits the controls that can take the focus in the window's order and
    // wraps around; disabled controls are passed over.
    void tabOrder_data()
    {
        QTest::addColumn<bool>("opened");
        QTest::addColumn<QStringList>("order");
        const QStringList boxes = {"cTARGET", "cACTUAL", "cRESET", "cDEBOUNCE0", "cDEBOUNCE1", "cDEBOUNCE2", "cALARM"};
        QTest::newRow("closed") << false << (QStringList{"cCom", "bCONNECT"} + boxes + QStringList{"cDEVICE", "cCom"});
        QTest::newRow("open") << true
                              << (QStringList{"bCONNECT", "tTARGET", "tACTUAL", "tDIFFERENCE", "bSETUP", "sTARGET",
                                              "sACTUAL", "sRESET", "sDEBOUNCE0", "sDEBOUNCE1", "sDEBOUNCE2", "sALARM"}
                                  + boxes + QStringList{"bRead", "cDEVICE", "bCONNECT"});
    }
    void tabOrder()
    {
        QFETCH(bool, opened);
        QFETCH(QStringList, order);
        if (opened) {
            open();
            form->bCONNECT->setFocus();
        }
        QStringList seen = {focusName()};
        for (int i = 1; i < order.size(); ++i) {
            QTest::keyClick(window(), Qt::Key_Tab);
            seen << focusName();
        }
        QCOMPARE(seen, order);
    }

    // Every pick of a device entry reads that device, also a pick of the entry
    // that is already selected after the operator typed another name. Typing
    // alone reads nothing.
    void devicePick_data()
    {
        QTest::addColumn<QString>("typed");     // typed into the list first
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("text");      // the list's text afterwards
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("mouse, other entry") << "" << "mouse 6" << "Device-6" << readAll('6');
        QTest::newRow("mouse, current entry after typing") << "Device-5" << "mouse 0" << "Device-0" << readAll('0');
        QTest::newRow("keys, current entry after typing") << "Device-5" << "alt-down return" << "Device-0" << readAll('0');
        QTest::newRow("keys, next entry") << "" << "alt-down down return" << "Device-1" << readAll('1');
        QTest::newRow("arrow key") << "" << "down" << "Device-1" << readAll('1');
        QTest::newRow("code") << "" << "code 3" << "Device-3" << readAll('3');
        QTest::newRow("typing only") << "Device-5" << "" << "Device-5" << QByteArray();
        QTest::newRow("typing and Return") << "Device-2" << "return" << "Device-2" << QByteArray();
    }
    void devicePick()
    {
        QFETCH(QString, typed);
        QFETCH(QString, how);
        QFETCH(QString, text);
        QFETCH(QByteArray, sent);
        open();
        fillFromCounter('0');
        ComboBox *list = form->cDEVICE;
        if (!typed.isEmpty()) {
            click(list->lineEdit());
            QTRY_COMPARE(focusName(), QStringLiteral("cDEVICE"));
            list->lineEdit()->selectAll();
            type(typed);
            QCOMPARE(list->Text(), typed);
        } else {
            list->setFocus();
            QTRY_COMPARE(focusName(), QStringLiteral("cDEVICE"));
        }
        comm->written.clear();

        if (how.startsWith(QLatin1String("mouse"))) {
            click(list, arrowOf(list));
            QTRY_VERIFY(list->view()->isVisible());
            // A release too soon after the drop-down opens is taken as part of the opening click.
            QTest::qWait(QApplication::doubleClickInterval() + 50);
            const QModelIndex entry = list->model()->index(how.back().digitValue(), 0);
            click(list->view()->viewport(), list->view()->visualRect(entry).center());
        } else if (how.startsWith(QLatin1String("alt-down"))) {
            QTest::keyClick(window(), Qt::Key_Down, Qt::AltModifier);
            QTRY_VERIFY(list->view()->isVisible());
            if (how == QLatin1String("alt-down down return"))
                QTest::keyClick(list->view(), Qt::Key_Down);
            QTest::keyClick(list->view(), Qt::Key_Return);
        } else if (how == QLatin1String("down") || how == QLatin1String("return")) {
            QTest::keyClick(window(), how == QLatin1String("down") ? Qt::Key_Down : Qt::Key_Return);
        } else if (how.startsWith(QLatin1String("code"))) {
            list->setListIndex(how.back().digitValue());
        }
        QTRY_VERIFY(!list->view()->isVisible());
        QCOMPARE(list->Text(), text);
        QCOMPARE(comm->written, sent);
        // A read empties the fields for the answer; without one they keep their values.
        QCOMPARE(form->sTARGET->text(), sent.isEmpty() ? QStringLiteral("+0001234") : QString());
    }

    // What the operator sees after Close: nothing of the last counter's
    // settings stays in the fields, but the displays keep the last values.
    void closeLeavesClosedWindow()
    {
        open();
        fillFromCounter('0');
        form->cRESET->setValue(0);
        // The fields are locked before they are emptied: none is ever an open, empty box.
        QStringList emptiedWhileEnabled;
        for (TextBox *s : form->settingFields())
            connect(s, &QLineEdit::textChanged, s, [&, s] {
                if (s->isEnabled())
                    emptiedWhileEnabled << s->objectName();
            });
        click(form->bCONNECT);
        QCOMPARE(emptiedWhileEnabled, QStringList());
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Open"));
        QCOMPARE(form->LEDCommunication->FillColor(), kButtonFace);
        QVERIFY(form->cCom->isEnabled());
        QVERIFY(!form->bSETUP->isEnabled());
        QVERIFY(!form->bRead->isEnabled());
        for (int i = 0; i < 7; ++i) {
            const QString name = form->settingFields()[i]->objectName();
            QVERIFY2(form->checkBoxes()[i]->Value() == 2, qPrintable(name));
            QVERIFY2(form->settingFields()[i]->text().isEmpty(), qPrintable(name));
            QVERIFY2(form->settingFields()[i]->ForeColor() == kRed, qPrintable(name));
            QVERIFY2(!form->settingFields()[i]->isEnabled(), qPrintable(name));
        }
        for (TextBox *t : form->displays()) {
            QVERIFY(!t->isEnabled());
            QCOMPARE(t->text(), QStringLiteral("1234"));
            QCOMPARE(t->ForeColor(), kRed);
        }
        QVERIFY(!comm->PortOpen());
    }

    // After Open: the counterpart, whatever the window held before.
    void openLeavesOpenWindow()
    {
        open();
        fillFromCounter('0');
        click(form->bCONNECT);
        form->cTARGET->setValue(0);
        form->cALARM->setValue(1);
        form->sACTUAL->setText(QStringLiteral("+0000007"));
        comm->written.clear();
        click(form->bCONNECT);
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Close"));
        QCOMPARE(form->LEDCommunication->FillColor(), kGreen);
        QVERIFY(!form->cCom->isEnabled());
        QVERIFY(form->bSETUP->isEnabled());
        QVERIFY(form->bRead->isEnabled());
        for (int i = 0; i < 7; ++i) {
            const QString name = form->settingFields()[i]->objectName();
            QVERIFY2(form->checkBoxes()[i]->Value() == 1, qPrintable(name));
            QVERIFY2(form->settingFields()[i]->text().isEmpty(), qPrintable(name));
            QVERIFY2(form->settingFields()[i]->ForeColor() == kRed, qPrintable(name));
            QVERIFY2(form->settingFields()[i]->isEnabled(), qPrintable(name));
        }
        for (TextBox *t : form->displays()) {
            QVERIFY(t->isEnabled());
            QCOMPARE(t->text(), QStringLiteral("1234"));
        }
        QCOMPARE(comm->written, readAll('0'));
    }
};

QTEST_MAIN(TestOperator)
#include "tst_operator.moc"
