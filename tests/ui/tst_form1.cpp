// The window's handlers against an in-memory serial control: start-up state,
// the open and close sequences call by call, bad port texts and failed opens,
// Read and device selection, the field checks, and reply decoding into the window.
#include "controls.h"
#include "fakecomm.h"
#include "form1.h"

#include <QMessageBox>
#include <QSignalSpy>
#include <QtTest>

using namespace kestran;

namespace {
const QByteArray kReadAll0("*0R:?=?\r");

QByteArray reply(char addr, char index, const char *value)
{
    return QByteArray("*") + addr + "C:" + index + "=" + value + "\r";
}

void closeMessageBoxes()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *box = qobject_cast<QMessageBox *>(w))
            box->done(0);
}
} // namespace

class TestForm1 : public QObject {
    Q_OBJECT

    FakeComm *comm = nullptr;
    Form1 *form = nullptr;

    void openOn(const QString &port = QStringLiteral("COM3"))
    {
        form->cCom->setText(port);
        form->bCONNECT->click();
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Close"));
        comm->log.clear();
        comm->written.clear();
    }

private slots:
    void init()
    {
        comm = new FakeComm;
        form = new Form1(comm);
        form->load();
    }
    void cleanup()
    {
        closeMessageBoxes();
        delete form;
        delete comm;
    }

    void startUpState()
    {
        for (TextBox *t : form->displays()) {
            QCOMPARE(t->text(), QString());
            QVERIFY(!t->isEnabled());
            QCOMPARE(t->ForeColor(), kRed);
        }
        QCOMPARE(form->cDEVICE->ListIndex(), 0);
        QCOMPARE(form->cDEVICE->Text(), QStringLiteral("Device-0"));
        for (CheckBox *c : form->checkBoxes()) {
            QCOMPARE(c->Value(), 2);
            QVERIFY(c->isEnabled());
        }
        for (TextBox *s : form->settingFields()) {
            QCOMPARE(s->text(), QStringLiteral("0"));
            QVERIFY(!s->isEnabled());
        }
        QVERIFY(!form->bSETUP->isEnabled());
        QVERIFY(!form->bRead->isEnabled());
        QCOMPARE(form->LEDCommunication->FillColor(), kButtonFace);
        QVERIFY(!form->Timer1->Enabled());
        QCOMPARE(form->cCom->ListIndex(), -1);
        QCOMPARE(form->cCom->Text(), QString());
        QVERIFY(form->cCom->isEnabled());
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Open"));
        QVERIFY(!comm->PortOpen());
        QVERIFY(comm->written.isEmpty());   // nothing goes on the line at start-up
        QVERIFY(form->mRxBuffer.isEmpty());
        QVERIFY(!form->mTimerDone);
    }

    void openSequenceCallByCall()
    {
        form->cDEVICE->setListIndex(5);
        QStringList stateAtOutput;
        comm->onOutput = [&](const QString &) {
            stateAtOutput << QStringLiteral("%1%2%3")
                                 .arg(form->bSETUP->isEnabled())
                                 .arg(form->cTARGET->Value())
                                 .arg(form->sALARM->text().isEmpty());
        };
        form->cCom->setText(QStringLiteral("COM12"));
        form->bCONNECT->click();
        const QStringList expected = {
            QStringLiteral("DevicePath="), QStringLiteral("CommPort=12"),
            QStringLiteral("Settings=19200,N,8,1"), QStringLiteral("InBufferCount=0"),
            QStringLiteral("InputMode=0"), QStringLiteral("InputLen=1"), QStringLiteral("RThreshold=1"),
            QStringLiteral("SThreshold=1"), QStringLiteral("DTREnable=0"), QStringLiteral("PortOpen=1"),
            QStringLiteral("Output=*"), QStringLiteral("Output=5"), QStringLiteral("Output=R"),
            QStringLiteral("Output=:"), QStringLiteral("Output=?"), QStringLiteral("Output=="),
            QStringLiteral("Output=?"), QStringLiteral("Output=\r")};
        QCOMPARE(comm->log, expected);
        // The read-all goes out after the fields are emptied, before Setup is enabled and boxes ticked.
        QCOMPARE(stateAtOutput, QStringList(8, QStringLiteral("021")));

        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Close"));
        QCOMPARE(form->LEDCommunication->FillColor(), kGreen);
        QVERIFY(!form->cCom->isEnabled());
        for (TextBox *t : form->displays())
            QVERIFY(t->isEnabled());
        for (int i = 0; i < 7; ++i) {
            QCOMPARE(form->settingFields()[i]->text(), QString());
            QVERIFY(form->settingFields()[i]->isEnabled());
            QCOMPARE(form->settingFields()[i]->ForeColor(), kRed);
            QCOMPARE(form->checkBoxes()[i]->Value(), 1);
        }
        QVERIFY(form->bSETUP->isEnabled() && form->bRead->isEnabled());
    }

    void pathIsOpenedAsItStands()
    {
        form->cCom->setText(QStringLiteral("/dev/serial/by-id/usb-adapter"));
        form->bCONNECT->click();
        QCOMPARE(comm->devicePath(), QStringLiteral("/dev/serial/by-id/usb-adapter"));
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Close"));
    }

    void closeSequenceAndReopen()
    {
        openOn();
        form->tACTUAL->setText(QStringLiteral("42"));
        form->bCONNECT->click();
        QCOMPARE(comm->log.first(), QStringLiteral("PortOpen=0"));
        QVERIFY(comm->written.isEmpty());
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Open"));
        QCOMPARE(form->LEDCommunication->FillColor(), kButtonFace);
        QVERIFY(form->cCom->isEnabled());
        QVERIFY(!form->bSETUP->isEnabled() && !form->bRead->isEnabled());
        for (int i = 0; i < 7; ++i) {
            QCOMPARE(form->checkBoxes()[i]->Value(), 2);
            QVERIFY(!form->settingFields()[i]->isEnabled());
            QCOMPARE(form->settingFields()[i]->text(), QString());
        }
        for (TextBox *t : form->displays())
            QVERIFY(!t->isEnabled());
        QCOMPARE(form->tACTUAL->text(), QStringLiteral("42"));   // last value stays

        form->bCONNECT->click();   // and open again: the read-all goes out again
        QCOMPARE(comm->written, kReadAll0);
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Close"));
    }

    void emptyPortTextDoesNothing()
    {
        form->bCONNECT->click();
        QVERIFY(comm->log.isEmpty());
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Open"));
    }

    void badPortText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("letters") << "COMx";
        QTest::newRow("no number") << "COM";
        QTest::newRow("too large") << "COM70000";
        QTest::newRow("zero") << "COM0";
        QTest::newRow("256") << "COM256";
        QTest::newRow("blank") << " ";
        QTest::newRow("word") << "printer";
    }
    void badPortText()
    {
        QFETCH(QString, text);
        QSignalSpy problems(form, &Form1::problemReported);
        form->cCom->setText(text);
        form->bCONNECT->click();
        QCOMPARE(problems.count(), 1);
        const QString message = problems.at(0).at(0).toString();
        QVERIFY2(message.contains(text), qPrintable(message));
        QVERIFY2(message.contains(QStringLiteral("COM1")), qPrintable(message));   // says what the box accepts
        QVERIFY(!comm->log.contains(QStringLiteral("PortOpen=1")));
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Open"));
        QCOMPARE(form->LEDCommunication->FillColor(), kButtonFace);
        QVERIFY(form->cCom->isEnabled());
        QVERIFY(!form->bSETUP->isEnabled());
        QCOMPARE(form->cTARGET->Value(), 2);
        QCOMPARE(form->sTARGET->text(), QStringLiteral("0"));
        QVERIFY(comm->written.isEmpty());
        // A message box titled with the window's name is up, and does not block.
        bool shown = false;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *box = qobject_cast<QMessageBox *>(w))
                shown = shown || (box->windowTitle() == QStringLiteral("KESTRAN SETUP") && box->isVisible());
        QVERIFY(shown);
    }

    void failedOpen_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("expected");
        QTest::newRow("missing") << int(SerialFault::NotFound) << "No such file or directory" << "does not exist";
        QTest::newRow("busy") << int(SerialFault::Busy) << "locked by process 4242" << "another program";
        QTest::newRow("permission") << int(SerialFault::Permission) << "Permission denied" << "dialout";
        QTest::newRow("not serial") << int(SerialFault::NotSerial) << "Inappropriate ioctl for device" << "not a serial device";
        QTest::newRow("no such number") << int(SerialFault::BadPortNumber) << "" << "no serial port with that number";
    }
    void failedOpen()
    {
        QFETCH(int, fault);
        QFETCH(QString, reason);
        QFETCH(QString, expected);
        comm->failWith = SerialFault(fault);
        comm->failReason = reason;
        QSignalSpy problems(form, &Form1::problemReported);
        form->cCom->setText(QStringLiteral("COM7"));
        form->bCONNECT->click();
        QCOMPARE(problems.count(), 1);
        const QString message = problems.at(0).at(0).toString();
        QVERIFY2(message.contains(QStringLiteral("COM7")) && message.contains(expected) && message.contains(reason),
                 qPrintable(message));
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Open"));
        QVERIFY(comm->written.isEmpty());
        QCOMPARE(form->LEDCommunication->FillColor(), kButtonFace);
        QVERIFY(form->cCom->isEnabled());
        QCOMPARE(form->cALARM->Value(), 2);

        comm->failWith = SerialFault::None;   // the port comes free: Open works
        form->bCONNECT->click();
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Close"));
    }

    void readAndDeviceDoNothingWhileClosed()
    {
        form->bRead->setEnabled(true);
        form->bRead->click();
        form->cDEVICE->setListIndex(3);
        QVERIFY(comm->written.isEmpty());
        QCOMPARE(form->sTARGET->text(), QStringLiteral("0"));
        QVERIFY(form->bRead->isEnabled());
    }

    void readEmptiesFieldsAndSendsFrame()
    {
        openOn();
        form->sRESET->setText(QStringLiteral("+0000001"));
        form->bRead->click();
        QCOMPARE(comm->written, kReadAll0);
        QCOMPARE(comm->log.count(), 8);   // eight separate writes
        QCOMPARE(form->sRESET->text(), QString());
        QCOMPARE(form->sRESET->ForeColor(), kRed);
        QVERIFY(form->bSETUP->isEnabled() && form->bRead->isEnabled());
        form->bRead->click();
        QCOMPARE(comm->written, kReadAll0 + kReadAll0);
    }

    void deviceChoiceReadsThatDevice()
    {
        openOn();
        form->cDEVICE->setListIndex(5);
        QCOMPARE(comm->written, QByteArray("*5R:?=?\r"));
        // Replies still arriving from device 0 are ignored from then on.
        comm->receive(reply('0', '0', "+0000111"));
        QCOMPARE(form->sTARGET->text(), QString());
        comm->receive(reply('5', '0', "+0000555"));
        QCOMPARE(form->sTARGET->text(), QStringLiteral("+0000555"));
        QCOMPARE(form->tTARGET->text(), QStringLiteral("555"));
        // Typed text in the device list starts no read, but frames use whatever it says.
        comm->written.clear();
        form->cDEVICE->setText(QStringLiteral("Device-6"));
        QVERIFY(comm->written.isEmpty());
        form->bRead->click();
        QCOMPARE(comm->written, QByteArray("*6R:?=?\r"));
    }

    void replyUpdatesItsOwnControls_data()
    {
        QTest::addColumn<char>("index");
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("field");
        QTest::newRow("0") << '0' << "tTARGET" << "sTARGET";
        QTest::newRow("1") << '1' << "tACTUAL" << "sACTUAL";
        QTest::newRow("2") << '2' << "tDIFFERENCE" << "";
        QTest::newRow("3") << '3' << "" << "sRESET";
        QTest::newRow("4") << '4' << "" << "sDEBOUNCE0";
        QTest::newRow("5") << '5' << "" << "sDEBOUNCE1";
        QTest::newRow("6") << '6' << "" << "sDEBOUNCE2";
        QTest::newRow("7") << '7' << "" << "sALARM";
    }
    void replyUpdatesItsOwnControls()
    {
        QFETCH(char, index);
        QFETCH(QString, display);
        QFETCH(QString, field);
        openOn();
        QList<TextBox *> all;
        for (TextBox *t : form->displays())
            all << t;
        for (TextBox *s : form->settingFields())
            all << s;
        for (TextBox *t : all)
            t->setText(QStringLiteral("x"));
        // Display first, then the field: the field's colour check sees the display already set.
        QString displayWhenFieldSet;
        if (!field.isEmpty() && !display.isEmpty())
            connect(form->findChild<TextBox *>(field), &QLineEdit::textChanged, this,
                    [&] { displayWhenFieldSet = form->findChild<TextBox *>(display)->text(); });
        comm->receive(reply('0', index, "-0000012"));
        for (TextBox *t : all) {
            const QString name = t->objectName();
            const QString want = name == display ? QStringLiteral("-12")
                               : name == field   ? QStringLiteral("-0000012")
                                                 : QStringLiteral("x");
            QCOMPARE(t->text(), want);
        }
        if (!field.isEmpty() && !display.isEmpty())
            QCOMPARE(displayWhenFieldSet, QStringLiteral("-12"));
    }

    void transmitEventsAndNoiseChangeNothing()
    {
        openOn();
        comm->sendEvent();
        comm->receive(QByteArray("\x01\xff garbage \r\r 0C:0=+0000001\r"));
        QCOMPARE(form->sTARGET->text(), QString());
        QCOMPARE(form->tTARGET->text(), QString());
        comm->receive(reply('0', '7', "+0000009"));
        QCOMPARE(form->sALARM->text(), QStringLiteral("+0000009"));
        QCOMPARE(form->sALARM->ForeColor(), kGreen);
    }

    void colourCheck_data()
    {
        QTest::addColumn<int>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("green");
        for (int f = 0; f < 7; ++f) {
            const QByteArray n = QByteArray::number(f);
            QTest::newRow(n + " empty") << f << "" << false;
            QTest::newRow(n + " seven") << f << "+000000" << false;
            QTest::newRow(n + " zero") << f << "+0000000" << true;
            QTest::newRow(n + " minus zero") << f << "-0000000" << (f < 3);
            QTest::newRow(n + " minus letters") << f << "-abcdefg" << (f < 3);
            QTest::newRow(n + " digit first") << f << "10000000" << false;
            QTest::newRow(n + " four zeros free three") << f << "+0000x9z" << (f < 6);
            QTest::newRow(n + " plus big") << f << "+1000050" << (f < 3);
            QTest::newRow(n + " six zeros and one") << f << "+000000Q" << true;
            QTest::newRow(n + " five zeros two digits") << f << "+0000012" << (f < 6);
            QTest::newRow(n + " space") << f << " +000000" << false;
        }
    }
    void colourCheck()
    {
        QFETCH(int, field);
        QFETCH(QString, text);
        QFETCH(bool, green);
        TextBox *s = form->settingFields()[field];
        s->setText(QStringLiteral("seed"));   // the field is disabled: it is still checked
        s->setText(text);
        QCOMPARE(s->ForeColor(), green ? kGreen : kRed);
    }

    void checkBoxEnablesItsFieldOnly()
    {
        for (int i = 0; i < 7; ++i) {
            CheckBox *c = form->checkBoxes()[i];
            TextBox *s = form->settingFields()[i];
            s->setText(QStringLiteral("+0000000"));
            c->setValue(1);
            QVERIFY(s->isEnabled());
            QCOMPARE(s->ForeColor(), kGreen);    // ticking does not recolour or change the text
            QCOMPARE(s->text(), QStringLiteral("+0000000"));
            if (i + 1 < 7)
                QVERIFY(!form->settingFields()[i + 1]->isEnabled());
            c->setValue(0);
            QVERIFY(!s->isEnabled());
            c->setValue(1);
            c->setValue(2);
            QVERIFY(!s->isEnabled());
            QCOMPARE(s->text(), QStringLiteral("+0000000"));
        }
    }

    void lostConnectionClosesAndTells()
    {
        openOn(QStringLiteral("COM4"));
        QSignalSpy problems(form, &Form1::problemReported);
        comm->lose(QStringLiteral("Input/output error"));
        QCOMPARE(problems.count(), 1);
        const QString message = problems.at(0).at(0).toString();
        QVERIFY(message.contains(QStringLiteral("COM4")) && message.contains(QStringLiteral("Input/output error")));
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Open"));
        QVERIFY(form->cCom->isEnabled());
        QCOMPARE(form->cTARGET->Value(), 2);
        QVERIFY(comm->written.isEmpty());
        comm->lose(QStringLiteral("again"));   // reported once only
        QCOMPARE(problems.count(), 1);
        form->bCONNECT->click();
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Close"));
    }

    void setupWithClosedPortDoesNothing()
    {
        form->bSETUP->setEnabled(true);
        form->bSETUP->click();
        QVERIFY(comm->written.isEmpty());
        QVERIFY(form->bSETUP->isEnabled());
        QVERIFY(!form->Timer1->Enabled());
    }
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
