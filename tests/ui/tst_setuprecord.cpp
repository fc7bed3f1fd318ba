// The window's Setup on record: the values it would send committed before the
// first frame, each with the value the counter last answered; a field edited
// during a pause recorded when its turn comes (the planned value "not sent");
// outcomes from the closing read-all; nothing sent where a record is required
// and cannot be made.
#include "history.h"
#include "recorded.h"
#include "setuprecord.h"
#include "windowfixture.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace kestran;

class TestSetupRecord : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    static QVector<history::Entry> entries(const QString &db) { return test::recordedIn(db); }

private slots:
    void setupOnRecord()
    {
        const QString db = dir.filePath("window.sqlite");
        qputenv("KESTRAN_HISTORY", ("sqlite:" + db).toUtf8());
        WindowOnLine<> win;
        QVERIFY(win.startLine());
        QVERIFY(win.open());
        QTRY_COMPARE(misshownInitial(win.form, 0), QString());
        for (CheckBox *c : win.form.checkBoxes())
            c->setValue(0);
        win.form.cTARGET->setValue(1);
        win.form.cRESET->setValue(1);
        win.form.sTARGET->setText("+0002500");
        win.form.sRESET->setText("+0000040");
        // During the first pause the operator changes RESET.
        QTimer::singleShot(100, &win.form, [&] { win.form.sRESET->setText("+0000041"); });
        win.form.bSETUP->click();
        QTRY_COMPARE_WITH_TIMEOUT(entries(db).size(), 3, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(entries(db).first().outcome != history::Outcome::Unknown, 5000);
        const QVector<history::Entry> e = entries(db);
        // Newest first: the edited RESET, then the planned RESET and TARGET (one commit, one group).
        QCOMPARE(e[0].parameter, QStringLiteral("RESET"));
        QCOMPARE(e[0].sent, QStringLiteral("+0000041"));
        QCOMPARE(e[0].outcome, history::Outcome::Verified);
        QCOMPARE(e[1].sent, QStringLiteral("+0000040"));
        QCOMPARE(e[1].outcome, history::Outcome::NotSent);
        QCOMPARE(e[2].parameter, QStringLiteral("TARGET"));
        QCOMPARE(e[2].before, QStringLiteral("+0001000"));
        QCOMPARE(e[2].outcome, history::Outcome::Verified);
        QCOMPARE(e[0].before, QStringLiteral("+0000000"));
        QCOMPARE(e[0].group, e[2].group);
        QCOMPARE(e[2].origin.port, win.line->slavePath());
        QVERIFY(e[2].origin.program.startsWith(QLatin1String("kestran-setup ")));
        QVERIFY(e[2].at <= e[0].at);
    }

    void requiredAndImpossible()
    {
        const QString conf = dir.filePath("config/kestran-setup/history.conf");
        QDir().mkpath(QFileInfo(conf).absolutePath());
        QFile f(conf);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("database = sqlite:/proc/no-such/window.sqlite\nrequire = true\n");
        f.close();
        qunsetenv("KESTRAN_HISTORY");
        qputenv("XDG_CONFIG_HOME", dir.filePath("config").toUtf8());
        WindowOnLine<> win;
        QCOMPARE(win.form.setupRecord()->settingsFile(), conf);
        QVERIFY(win.startLine());
        QVERIFY(win.open());
        QTRY_COMPARE(misshownInitial(win.form, 0), QString());
        win.form.sALARM->setText("+0000009");
        win.form.bSETUP->click();
        QVERIFY(win.line->waitForIdle(5000));
        QVERIFY(!win.line->received().contains("W:"));
        QCOMPARE(win.line->value(0, 7), sim::CounterLine::initialValue(0, 7));
    }
};

QTEST_MAIN(TestSetupRecord)
#include "tst_setuprecord.moc"
