// The window's handlers against an in-memory serial control: start-up state,
// the open and close sequences call by call, bad port texts and failed opens,
// Read and device selection, the field checks, and reply decoding into the window.
#include "fakecomm.h"
#include "windowfixture.h"

#include <QtTest>

using namespace kestran;

namespace {
const QByteArray kReadAll0("*0R:?=?\r");
} // namespace

class TestForm1 : public QObject {
    Q_OBJECT

    FakeComm *comm = nullptr;
    Form1 *form = nullptr;

    void openOn(const QString &port = QStringLiteral("COM3"))
    {
        form->cCom->setText(port);
        form->bCONNECT->click();
        expectOpen();
        comm->log.clear();
        comm->written.clear();
    }
    void expectOpen()
    {
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Close"));
        QCOMPARE(form->LEDCommunication->FillColor(), kGreen);
        QVERIFY(!form->cCom->isEnabled());
        QVERIFY(form->bSETUP->isEnabled() && form->bRead->isEnabled());
        for (TextBox *t : form->displays())
            QVERIFY(t->isEnabled());
    }
    // Closed: Open offered, the port box free, the settings greyed and locked.
    void expectClosed()
    {
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Open"));
        QCOMPARE(form->LEDCommunication->FillColor(), kButtonFace);
        QVERIFY(form->cCom->isEnabled());
        QVERIFY(!form->bSETUP->isEnabled() && !form->bRead->isEnabled());
        for (int i = 0; i < 7; ++i) {
            QCOMPARE(form->checkBoxes()[i]->Value(), 2);
            QVERIFY(!form->settingFields()[i]->isEnabled());
        }
        for (TextBox *t : form->displays())
            QVERIFY(!t->isEnabled());
        QVERIFY(!comm->PortOpen());
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
        expectClosed();
        for (TextBox *t : form->displays()) {
            QCOMPARE(t->text(), QString());
            QCOMPARE(t->ForeColor(), kRed);
        }
        QCOMPARE(form->cDEVICE->ListIndex(), 0);
        QCOMPARE(form->cDEVICE->Text(), QStringLiteral("Device-0"));
        for (CheckBox *c : form->checkBoxes())
            QVERIFY(c->isEnabled());
        for (TextBox *s : form->settingFields())
            QCOMPARE(s->text(), QStringLiteral("0"));
        QVERIFY(!form->Timer1->Enabled());
        QCOMPARE(form->cCom->ListIndex(), -1);
        QCOMPARE(form->cCom->Text(), QString());
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
        QCOMPARE(comm->log, QStringLiteral("DevicePath=|CommPort=12|Settings=19200,N,8,1|InBufferCount=0|"
                                           "InputMode=0|InputLen=1|RThreshold=1|SThreshold=1|DTREnable=0|"
                                           "PortOpen=1|Output=*|Output=5|Output=R|Output=:|Output=?|"
                                           "Output==|Output=?|Output=\r")
                                .split(QLatin1Char('|')));
        // The read-all goes out after the fields are emptied, before Setup is enabled and boxes ticked.
        QCOMPARE(stateAtOutput, QStringList(8, QStringLiteral("021")));
        expectOpen();
        for (int i = 0; i < 7; ++i) {
            QCOMPARE(form->settingFields()[i]->text(), QString());
            QVERIFY(form->settingFields()[i]->isEnabled());
            QCOMPARE(form->settingFields()[i]->ForeColor(), kRed);
            QCOMPARE(form->checkBoxes()[i]->Value(), 1);
        }
    }

    void pathIsOpenedAsItStands()
    {
        openOn(QStringLiteral("/dev/serial/by-id/usb-adapter"));
        QCOMPARE(comm->devicePath(), QStringLiteral("/dev/serial/by-id/usb-adapter"));
    }

    void closeSequenceAndReopen()
    {
        openOn();
        form->tACTUAL->setText(QStringLiteral("42"));
        form->bCONNECT->click();
        QCOMPARE(comm->log.first(), QStringLiteral("PortOpen=0"));
        QVERIFY(comm->written.isEmpty());
        expectClosed();
        for (TextBox *s : form->settingFields())
            QCOMPARE(s->text(), QString());
        QCOMPARE(form->tACTUAL->text(), QStringLiteral("42"));   // last value stays

        form->bCONNECT->click();   // and open again: the read-all goes out again
        QCOMPARE(comm->written, kReadAll0);
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Close"));
    }

    // Open, Read, a device choice and Setup with no port open put nothing on the line.
    void clicksWhileClosedDoNothing()
    {
        form->bCONNECT->click();   // no port text
        form->bRead->setEnabled(true);
        form->bRead->click();
        form->cDEVICE->setListIndex(3);
        form->bSETUP->setEnabled(true);
        form->bSETUP->click();
        QVERIFY(comm->log.isEmpty());
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Open"));
        QCOMPARE(form->sTARGET->text(), QStringLiteral("0"));
        QVERIFY(form->bRead->isEnabled() && form->bSETUP->isEnabled());
        QVERIFY(!form->Timer1->Enabled());
    }

    // A port text the box does not take, or a device that will not open: one
    // message naming the port and the cause, and the window stays closed.
    void refusedOpen_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("fault");      // the open fails with this (None: never tried)
        QTest::addColumn<QString>("reason"); // the system's words
        QTest::addColumn<QString>("cause");  // what the message says
        const int none = int(SerialFault::None);
        for (const char *text : {"COMx", "COM", "COM70000", "COM0", "COM256", " ", "printer"})
            QTest::newRow(text) << QString(text) << none << "" << "COM1";   // says what the box accepts
        QTest::newRow("missing") << "COM7" << int(SerialFault::NotFound) << "No such file or directory"
                                 << "does not exist";
        QTest::newRow("busy") << "COM7" << int(SerialFault::Busy) << "locked by process 4242" << "another program";
        QTest::newRow("permission") << "COM7" << int(SerialFault::Permission) << "Permission denied" << "dialout";
        QTest::newRow("not serial") << "COM7" << int(SerialFault::NotSerial) << "Inappropriate ioctl for device"
                                    << "not a serial device";
        QTest::newRow("no such number") << "COM7" << int(SerialFault::BadPortNumber) << ""
                                        << "no serial port with that number";
    }
    void refusedOpen()
    {
        QFETCH(QString, text);
        QFETCH(int, fault);
        QFETCH(QString, reason);
        QFETCH(QString, cause);
        comm->failWith = SerialFault(fault);
        comm->failReason = reason;
        QSignalSpy problems(form, &Form1::problemReported);
        form->cCom->setText(text);
        form->bCONNECT->click();
        QCOMPARE(problems.count(), 1);
        const QString message = problems.at(0).at(0).toString();
        QVERIFY2(message.contains(text) && message.contains(cause) && message.contains(reason), qPrintable(message));
        QCOMPARE(comm->log.contains(QStringLiteral("PortOpen=1")), fault != int(SerialFault::None));
        expectClosed();
        QCOMPARE(form->sTARGET->text(), QStringLiteral("0"));
        QVERIFY(comm->written.isEmpty());
        // A box titled with the window's name is up, and the click returned: it does not block.
        const auto boxes = form->findChildren<QMessageBox *>();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0]->windowTitle(), QStringLiteral("KESTRAN SETUP"));
        QVERIFY(boxes[0]->isVisible());

        comm->failWith = SerialFault::None;   // the port comes free: Open works
        openOn(QStringLiteral("COM7"));
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
        const char *displays[] = {"tTARGET", "tACTUAL", "tDIFFERENCE"};
        const char *fields[] = {"sTARGET", "sACTUAL", "", "sRESET", "sDEBOUNCE0", "sDEBOUNCE1", "sDEBOUNCE2", "sALARM"};
        for (int i = 0; i < 8; ++i)
            QTest::addRow("%d", i) << char('0' + i) << QString(i < 3 ? displays[i] : "") << QString(fields[i]);
    }
    void replyUpdatesItsOwnControls()
    {
        QFETCH(char, index);
        QFETCH(QString, display);
        QFETCH(QString, field);
        openOn();
        const QList<TextBox *> all = form->findChildren<TextBox *>();   // displays and fields
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

    // Each field is checked against its own setting's shape whenever its text
    // changes (the shapes themselves are tried text by text in the protocol
    // tests): signed for fields 0-2, debounce for 3-5, alarm for 6.
    void colourCheck_data()
    {
        QTest::addColumn<int>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("green");
        for (int f = 0; f < 7; ++f) {
            QTest::addRow("%d empty", f) << f << "" << false;
            QTest::addRow("%d zero", f) << f << "+0000000" << true;
            QTest::addRow("%d minus zero", f) << f << "-0000000" << (f < 3);
            QTest::addRow("%d five zeros two digits", f) << f << "+0000012" << (f < 6);
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
        expectClosed();
        QVERIFY(comm->written.isEmpty());
        comm->lose(QStringLiteral("again"));   // reported once only
        QCOMPARE(problems.count(), 1);
        form->bCONNECT->click();
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Close"));
    }
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
