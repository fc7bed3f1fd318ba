// The window with the real serial control over a pseudo-terminal, the counter
// simulator on the far side: opening fills the window, Read and device choice
// read again, hostile replies change nothing, and failures leave a sound window.
#include "controls.h"
#include "form1.h"
#include "mscomm.h"
#include "ptycounterline.h"

#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace kestran;
using sim::PtyCounterLine;

namespace {
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

// Runs the event loop until the line has been quiet (no pending output) and the
// window has taken in what arrived.
void settle(PtyCounterLine &line)
{
    QVERIFY(line.waitForIdle(5000));
    QTest::qWait(60);
}
} // namespace

class TestLine : public QObject {
    Q_OBJECT

    std::unique_ptr<PtyCounterLine> line;
    std::unique_ptr<MSComm> comm;
    std::unique_ptr<Form1> form;

    void startLine(const sim::LineOptions &options = {})
    {
        line = std::make_unique<PtyCounterLine>(options);
        QString error;
        QVERIFY2(line->start(&error), qPrintable(error));
    }
    void openForm()
    {
        comm = std::make_unique<MSComm>();
        form = std::make_unique<Form1>(comm.get());
        form->load();
        form->cCom->setText(line->slavePath());
        form->bCONNECT->click();
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Close"));
    }
    void expectDevice(int device)
    {
        for (int i = 0; i < 7; ++i) {
            const char index = "0134567"[i];
            QTRY_COMPARE(form->settingFields()[i]->text(),
                         QString::fromLatin1(sim::CounterLine::initialValue(device, index - '0')));
            QCOMPARE(form->settingFields()[i]->ForeColor(), kGreen);
        }
        auto shown = [&](int index) {
            long n = 0;
            sim::parseValue(sim::CounterLine::initialValue(device, index), &n);
            return QString::number(n);
        };
        QTRY_COMPARE(form->tTARGET->text(), shown(0));
        QTRY_COMPARE(form->tACTUAL->text(), shown(1));
        QTRY_COMPARE(form->tDIFFERENCE->text(), shown(2));
    }

private slots:
    void cleanup()
    {
        closeMessageBoxes();
        form.reset();
        comm.reset();
        line.reset();
    }

    void openFillsTheWindow()
    {
        startLine();
        openForm();
        QVERIFY(line->waitForBytes(8, 2000));
        QCOMPARE(line->received(), QByteArray("*0R:?=?\r"));
        expectDevice(0);
    }

    void deviceChoiceReadsThatCounterOnly()
    {
        startLine();
        openForm();
        expectDevice(0);
        line->clearArrivals();
        form->cDEVICE->setListIndex(5);
        QVERIFY(line->waitForBytes(8, 2000));
        QCOMPARE(line->received(), QByteArray("*5R:?=?\r"));
        expectDevice(5);
        // A late reply of device 0 is ignored now.
        line->send(reply('0', '0', "+0000111"));
        settle(*line);
        QCOMPARE(form->sTARGET->text(), QStringLiteral("+0006000"));
    }

    void readTwice()
    {
        startLine();
        openForm();
        expectDevice(0);
        line->clearArrivals();
        form->bRead->click();
        form->bRead->click();
        QVERIFY(line->waitForBytes(16, 2000));
        QCOMPARE(line->received(), QByteArray("*0R:?=?\r*0R:?=?\r"));
        expectDevice(0);
        QCOMPARE(line->withLine([](sim::CounterLine &l) { return l.readAllCount(0); }), 3);
    }

    void hostileLineStillDecodes()
    {
        sim::LineOptions options;
        options.split = true;   // replies handed over in small pieces, single bytes included
        options.noise = 1.0;    // noise before every reply
        options.seed = 7;
        startLine(options);
        openForm();
        expectDevice(0);
    }

    void malformedRepliesChangeNothing_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("other address") << reply('2', '0', "+0000222");
        QTest::newRow("14 characters") << QByteArray("*0C:0=+000222\r");
        QTest::newRow("16 characters") << QByteArray("*0C:0=+00002222\r");
        QTest::newRow("lower-case c") << QByteArray("*0c:0=+0000222\r");
        QTest::newRow("write shape") << QByteArray("*0W:0=+0000222\r");
        QTest::newRow("index 8") << QByteArray("*0C:8=+0000222\r");
    }
    void malformedRepliesChangeNothing()
    {
        QFETCH(QByteArray, bytes);
        startLine();
        openForm();
        expectDevice(0);
        // Byte by byte, as a slow line delivers them.
        for (char b : bytes) {
            line->send(QByteArray(1, b));
            QVERIFY(line->waitForIdle(2000));
            QTest::qWait(2);
        }
        settle(*line);
        QCOMPARE(form->sTARGET->text(), QStringLiteral("+0001000"));
        QCOMPARE(form->tTARGET->text(), QStringLiteral("1000"));
        // The next good reply decodes normally.
        line->send(reply('0', '0', "-0000333"));
        QTRY_COMPARE(form->sTARGET->text(), QStringLiteral("-0000333"));
        QCOMPARE(form->tTARGET->text(), QStringLiteral("-333"));
    }

    void differenceTouchesOnlyItsDisplay()
    {
        startLine();
        openForm();
        expectDevice(0);
        QList<QString> before;
        for (TextBox *t : form->findChildren<TextBox *>())
            before << t->objectName() + '=' + t->text();
        line->send(reply('0', '2', "-0001234"));
        QTRY_COMPARE(form->tDIFFERENCE->text(), QStringLiteral("-1234"));
        for (TextBox *t : form->findChildren<TextBox *>())
            if (t != form->tDIFFERENCE)
                QVERIFY(before.contains(t->objectName() + '=' + t->text()));
    }

    void oddValueShownAsReceived()
    {
        startLine();
        openForm();
        expectDevice(0);
        line->send(reply('0', '1', "+12ab567"));
        QTRY_COMPARE(form->sACTUAL->text(), QStringLiteral("+12ab567"));
        QCOMPARE(form->tACTUAL->text(), QStringLiteral("+12ab567"));
        QCOMPARE(form->sACTUAL->ForeColor(), kGreen);   // the shape only looks at the sign
        line->send(reply('0', '0', "12345678"));
        QTRY_COMPARE(form->tTARGET->text(), QStringLiteral("12345678"));
        QCOMPARE(form->sTARGET->ForeColor(), kRed);
    }

    void missingDevice()
    {
        comm = std::make_unique<MSComm>();
        form = std::make_unique<Form1>(comm.get());
        form->load();
        QSignalSpy problems(form.get(), &Form1::problemReported);
        form->cCom->setText(QStringLiteral("/dev/kestran-no-such-port"));
        form->bCONNECT->click();
        QCOMPARE(problems.count(), 1);
        QVERIFY2(problems.at(0).at(0).toString().contains(QStringLiteral("does not exist")),
                 qPrintable(problems.at(0).at(0).toString()));
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Open"));
        QVERIFY(!comm->PortOpen());
        QVERIFY(form->cCom->isEnabled());
    }

    void busyDevice()
    {
        startLine();
        MSComm other;   // another program holds the port
        other.setDevicePath(line->slavePath());
        QVERIFY(other.setPortOpen(true));
        comm = std::make_unique<MSComm>();
        form = std::make_unique<Form1>(comm.get());
        form->load();
        QSignalSpy problems(form.get(), &Form1::problemReported);
        form->cCom->setText(line->slavePath());
        form->bCONNECT->click();
        QCOMPARE(problems.count(), 1);
        QVERIFY2(problems.at(0).at(0).toString().contains(QStringLiteral("another program")),
                 qPrintable(problems.at(0).at(0).toString()));
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Open"));
        other.setPortOpen(false);
        form->bCONNECT->click();   // free again: opens
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Close"));
    }

    void deviceWithoutPermission()
    {
        // File modes do not bind root: the open is tried by an unprivileged child.
        if (::geteuid() != 0)
            QSKIP("needs root to start the unprivileged child");
        if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
            QSKIP("setpriv is not available");
        startLine();
        const QByteArray slave = QFile::encodeName(line->slavePath());
        QVERIFY(::chmod(slave.constData(), 0600) == 0);
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KESTRAN_PERMISSION_CHILD"), line->slavePath());
        child.setProcessEnvironment(env);
        child.start(QStringLiteral("setpriv"),
                    {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups"),
                     QCoreApplication::applicationFilePath(), QStringLiteral("permissionChild")});
        QVERIFY(child.waitForFinished(30000));
        const QString out = QString::fromUtf8(child.readAllStandardOutput());
        QVERIFY2(out.contains(QStringLiteral("permission denied")) && out.contains(QStringLiteral("dialout")),
                 qPrintable(out + child.readAllStandardError()));
    }

    void permissionChild()
    {
        // Runs only inside the unprivileged child started above.
        const QString path = qEnvironmentVariable("KESTRAN_PERMISSION_CHILD");
        if (path.isEmpty())
            QSKIP("runs only as the child of deviceWithoutPermission");
        comm = std::make_unique<MSComm>();
        form = std::make_unique<Form1>(comm.get());
        form->load();
        QSignalSpy problems(form.get(), &Form1::problemReported);
        form->cCom->setText(path);
        form->bCONNECT->click();
        QCOMPARE(problems.count(), 1);
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Open"));
        QTextStream(stdout) << problems.at(0).at(0).toString() << "\n";
    }

    void counterVanishesWhileOpen()
    {
        startLine();
        openForm();
        expectDevice(0);
        QSignalSpy problems(form.get(), &Form1::problemReported);
        const QString path = line->slavePath();
        line->kill();
        QTRY_COMPARE(problems.count(), 1);
        QVERIFY(problems.at(0).at(0).toString().contains(path));
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Open"));
        QVERIFY(!comm->PortOpen());
        QVERIFY(form->cCom->isEnabled());
        QVERIFY(!form->bRead->isEnabled());
        QCOMPARE(form->cTARGET->Value(), 2);
        QTest::qWait(300);
        QCOMPARE(problems.count(), 1);   // reported once
        // The counter comes back (a new pty): Open works again.
        QString error;
        QVERIFY2(line->restart(&error), qPrintable(error));
        closeMessageBoxes();
        form->cCom->setText(line->slavePath());
        form->bCONNECT->click();
        QCOMPARE(form->bCONNECT->text(), QStringLiteral("Close"));
        expectDevice(0);
    }
};

QTEST_MAIN(TestLine)
#include "tst_line.moc"
