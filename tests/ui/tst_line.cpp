// The window with the real serial control over a pseudo-terminal, the counter
// simulator on the far side: opening fills the window, Read and device choice
// read again, hostile replies change nothing, and failures leave a sound window.
#include "fakecomm.h"
#include "windowfixture.h"

#include <QFile>
#include <QtTest>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kestran;

class TestLine : public QObject {
    Q_OBJECT

    std::unique_ptr<WindowOnLine<>> win;

    // The window open on a fresh line and showing device 0's values.
    void openOnLine(const sim::LineOptions &options = {})
    {
        win = std::make_unique<WindowOnLine<>>();
        QVERIFY(win->startLine(options));
        QVERIFY(win->open());
        QTRY_COMPARE(misshownInitial(win->form, 0), QString());
    }
    // Runs the event loop until the line is quiet and the window has taken in what arrived.
    void settle()
    {
        QVERIFY(win->line->waitForIdle(5000));
        QTest::qWait(60);
    }
    // Open on `port` fails with one message saying `cause`; the window stays closed.
    void expectRefused(const QString &port, const QString &cause, QString *message = nullptr)
    {
        QSignalSpy problems(&win->form, &Form1::problemReported);
        QVERIFY(!win->open(port));
        QCOMPARE(problems.count(), 1);
        const QString text = problems.at(0).at(0).toString();
        QVERIFY2(text.contains(cause), qPrintable(text));
        QVERIFY(!win->comm.PortOpen() && win->form.cCom->isEnabled());
        if (message)
            *message = text;
    }
    int readAlls(int device)
    {
        return win->line->withLine([device](sim::CounterLine &l) { return l.readAllCount(device); });
    }

private slots:
    void cleanup() { win.reset(); }

    // Open reads device 0, Read reads it again, a device choice reads that
    // counter only, and a late reply of the counter before is ignored.
    void readsFillTheWindow()
    {
        openOnLine();
        QCOMPARE(win->line->received(), QByteArray("*0R:?=?\r"));
        win->line->clearArrivals();
        win->form.bRead->click();
        win->form.bRead->click();
        QVERIFY(win->line->waitForBytes(16, 2000));
        QCOMPARE(win->line->received(), QByteArray("*0R:?=?\r*0R:?=?\r"));
        QTRY_COMPARE(misshownInitial(win->form, 0), QString());
        QCOMPARE(readAlls(0), 3);

        win->line->clearArrivals();
        win->form.cDEVICE->setListIndex(5);
        QVERIFY(win->line->waitForBytes(8, 2000));
        QCOMPARE(win->line->received(), QByteArray("*5R:?=?\r"));
        QTRY_COMPARE(misshownInitial(win->form, 5), QString());
        win->line->send(reply('0', '0', "+0000111"));
        settle();
        QCOMPARE(win->form.sTARGET->text(), QStringLiteral("+0006000"));
    }

    void hostileLineStillDecodes()
    {
        sim::LineOptions options;
        options.split = true;   // replies handed over in small pieces, single bytes included
        options.noise = 1.0;    // noise before every reply
        options.seed = 7;
        openOnLine(options);
    }

    void malformedRepliesChangeNothing()
    {
        openOnLine();
        // Another address, 14 and 16 characters, lower-case c, a write, index 8:
        // byte by byte, as a slow line delivers them.
        const QByteArray bytes = reply('2', '0', "+0000222") + "*0C:0=+000222\r*0C:0=+00002222\r"
            + "*0c:0=+0000222\r*0W:0=+0000222\r*0C:8=+0000222\r";
        for (char b : bytes) {
            win->line->send(QByteArray(1, b));
            QVERIFY(win->line->waitForIdle(2000));
            QTest::qWait(2);
        }
        settle();
        QCOMPARE(win->form.sTARGET->text(), QStringLiteral("+0001000"));
        QCOMPARE(win->form.tTARGET->text(), QStringLiteral("1000"));
        // The next good reply decodes normally.
        win->line->send(reply('0', '0', "-0000333"));
        QTRY_COMPARE(win->form.sTARGET->text(), QStringLiteral("-0000333"));
        QCOMPARE(win->form.tTARGET->text(), QStringLiteral("-333"));
    }

    void oddValueShownAsReceived()
    {
        openOnLine();
        Form1 &f = win->form;
        win->line->send(reply('0', '1', "+12ab567"));
        QTRY_COMPARE(f.sACTUAL->text(), QStringLiteral("+12ab567"));
        QCOMPARE(f.tACTUAL->text(), QStringLiteral("+12ab567"));
        QCOMPARE(f.sACTUAL->ForeColor(), kGreen);   // the shape only looks at the sign
        win->line->send(reply('0', '0', "12345678"));
        QTRY_COMPARE(f.tTARGET->text(), QStringLiteral("12345678"));
        QCOMPARE(f.sTARGET->ForeColor(), kRed);
    }

    void missingDevice()
    {
        win = std::make_unique<WindowOnLine<>>();
        expectRefused(QStringLiteral("/dev/kestran-no-such-port"), QStringLiteral("does not exist"));
    }

    void busyDevice()
    {
        win = std::make_unique<WindowOnLine<>>();
        QVERIFY(win->startLine());
        MSComm other;   // another program holds the port
        other.setDevicePath(win->line->slavePath());
        QVERIFY(other.setPortOpen(true));
        expectRefused(win->line->slavePath(), QStringLiteral("another program"));
        other.setPortOpen(false);
        QVERIFY(win->open());   // free again: opens
    }

    void deviceWithoutPermission()
    {
        // File modes do not bind root: a forked child drops to an unprivileged
        // user and tries the open; the window is then shown the fault and the
        // reason the serial control reported there.
        if (::geteuid() != 0)
            QSKIP("needs root to start the unprivileged child");
        sim::PtyCounterLine line;
        QVERIFY(line.start());
        QVERIFY(::chmod(QFile::encodeName(line.slavePath()).constData(), 0600) == 0);
        int fds[2];
        QVERIFY(::pipe(fds) == 0);
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            ::close(fds[0]);
            int code = 1;
            if (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0) {
                MSComm comm;
                comm.setDevicePath(line.slavePath());
                const bool opened = comm.setPortOpen(true);
                const QByteArray report = QByteArray::number(int(comm.fault())) + '\n' + comm.errorString().toUtf8();
                code = (!opened && ::write(fds[1], report.constData(), size_t(report.size())) == report.size()) ? 0 : 2;
            }
            ::_exit(code);
        }
        ::close(fds[1]);
        QByteArray report;
        char buf[512];
        for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
            report.append(buf, int(n));
        ::close(fds[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, report.constData());
        const int cut = report.indexOf('\n');
        QCOMPARE(SerialFault(report.left(cut).toInt()), SerialFault::Permission);
        const QString reason = QString::fromUtf8(report.mid(cut + 1));
        QVERIFY2(reason.contains(QStringLiteral("ermission")), qPrintable(reason));

        FakeComm comm;
        comm.failWith = SerialFault::Permission;
        comm.failReason = reason;
        Form1 form(&comm);
        form.load();
        QSignalSpy problems(&form, &Form1::problemReported);
        form.cCom->setText(line.slavePath());
        form.bCONNECT->click();
        QCOMPARE(problems.count(), 1);
        const QString message = problems.at(0).at(0).toString();
        for (const QString &part : {QStringLiteral("permission denied"), QStringLiteral("dialout"), reason})
            QVERIFY2(message.contains(part), qPrintable(message));
        QCOMPARE(form.bCONNECT->text(), QStringLiteral("Open"));
        closeMessageBoxes();
    }

    void counterVanishesWhileOpen()
    {
        openOnLine();
        Form1 &f = win->form;
        QSignalSpy problems(&f, &Form1::problemReported);
        const QString path = win->line->slavePath();
        win->line->kill();
        QTRY_COMPARE(problems.count(), 1);
        QVERIFY(problems.at(0).at(0).toString().contains(path));
        QCOMPARE(f.bCONNECT->text(), QStringLiteral("Open"));   // the window's side is tested in tst_form1
        QVERIFY(!win->comm.PortOpen());
        QTest::qWait(300);
        QCOMPARE(problems.count(), 1);   // reported once
        // The counter comes back (a new pty): Open works again.
        QVERIFY(win->line->restart());
        closeMessageBoxes();
        QVERIFY(win->open());
        QTRY_COMPARE(misshownInitial(win->form, 0), QString());
    }
};

QTEST_MAIN(TestLine)
#include "tst_line.moc"
