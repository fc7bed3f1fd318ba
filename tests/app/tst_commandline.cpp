// The installed programs' command lines: --help, --version and usage errors
// answer without a display (no DISPLAY, no WAYLAND_DISPLAY, no QT_QPA_PLATFORM,
// as over SSH or in a package build), and the window still takes the toolkit's
// own options such as "-platform offscreen".
#include <QProcess>
#include <QtTest>

namespace {

// A child environment with every way of reaching a display removed.
QProcessEnvironment withoutDisplay()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    return env;
}

QString programPath(const QString &name)
{
    if (name == QLatin1String("kestran-setup"))
        return QStringLiteral(KESTRAN_SETUP_PATH);
    if (name == QLatin1String("kestran-counter-sim"))
        return QStringLiteral(KESTRAN_SIM_PATH);
#ifdef KESTRAN_CTL_PATH
    if (name == QLatin1String("kestran-ctl"))
        return QStringLiteral(KESTRAN_CTL_PATH);
#endif
    return {};
}

} // namespace

class TestCommandLine : public QObject {
    Q_OBJECT
private slots:
    void answersWithoutDisplay_data();
    void answersWithoutDisplay();
    void windowKeepsToolkitOptions();
};

void TestCommandLine::answersWithoutDisplay_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stdoutStart");   // "" when stdout must be empty
    QTest::addColumn<QString>("stderrHas");     // "" when stderr must be empty

    const QString version = QStringLiteral(KESTRAN_VERSION);
    const QString setup = QStringLiteral("kestran-setup"), sim = QStringLiteral("kestran-counter-sim");
    QTest::newRow("setup --help") << setup << QStringList{"--help"} << 0 << "Usage: kestran-setup" << "";
    QTest::newRow("setup -h") << setup << QStringList{"-h"} << 0 << "Usage: kestran-setup" << "";
    QTest::newRow("setup --version") << setup << QStringList{"--version"} << 0
                                     << "kestran-setup " + version + "\n" << "";
    QTest::newRow("setup toolkit option, then --version")
        << setup << QStringList{"-platform", "xcb", "--version"} << 0 << "kestran-setup " + version + "\n" << "";
    QTest::newRow("setup --demo --help") << setup << QStringList{"--demo", "--help"} << 0 << "Usage:" << "";
    QTest::newRow("setup unknown option") << setup << QStringList{"--bogus"} << 2 << "" << "bogus";
    QTest::newRow("setup --trace without a file") << setup << QStringList{"--trace"} << 2 << "" << "trace";
    QTest::newRow("setup --trace unwritable") << setup << QStringList{"--trace", "/nonexistent-folder/trace.txt"} << 2
                                              << "" << "nonexistent-folder";
    QTest::newRow("setup stray argument") << setup << QStringList{"COM1"} << 2 << "" << "COM1";
    QTest::newRow("sim --help") << sim << QStringList{"--help"} << 0 << "Usage: " << "";
    QTest::newRow("sim --version") << sim << QStringList{"--version"} << 0
                                   << "kestran-counter-sim " + version + "\n" << "";
    QTest::newRow("sim unknown option") << sim << QStringList{"--bogus"} << 2 << "" << "bogus";
    QTest::newRow("sim stray argument") << sim << QStringList{"extra"} << 2 << "" << "extra";
    QTest::newRow("ctl --version") << "kestran-ctl" << QStringList{"--version"} << 0 << "kestran-ctl " + version << "";
    QTest::newRow("ctl --help") << "kestran-ctl" << QStringList{"--help"} << 0 << "Usage: " << "";
    // Alone it has nothing to do: the usage goes to standard error, as an error.
    QTest::newRow("ctl alone") << "kestran-ctl" << QStringList{} << 2 << "" << "Usage: kestran-ctl SUBCOMMAND";
}

void TestCommandLine::answersWithoutDisplay()
{
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, stdoutStart);
    QFETCH(QString, stderrHas);

    const QString path = programPath(program);
    if (path.isEmpty())
        QSKIP("this build has no such program");
    QProcess p;
    p.setProcessEnvironment(withoutDisplay());
    p.start(path, args);
    QVERIFY2(p.waitForFinished(20000), qPrintable(program + " did not end"));
    const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);   // a crash (the missing display) is no answer
    QCOMPARE(p.exitCode(), exitCode);
    if (stdoutStart.isEmpty())
        QCOMPARE(out, QString());
    else
        QVERIFY2(out.startsWith(stdoutStart), qPrintable(out));
    if (stderrHas.isEmpty())
        QCOMPARE(err, QString());
    else
        QVERIFY2(err.contains(stderrHas), qPrintable(err));
}

void TestCommandLine::windowKeepsToolkitOptions()
{
    // Without a display in the environment only "-platform offscreen", left in
    // argv for the application object, lets the window come up; its first
    // painted frame shows in the toolkit's painting log.
    QProcessEnvironment env = withoutDisplay();
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("qt.widgets.painting=true"));
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(programPath(QStringLiteral("kestran-setup")), {QStringLiteral("-platform"), QStringLiteral("offscreen")});
    QByteArray log;
    bool shown = false;
    while (!shown && p.waitForReadyRead(20000)) {
        log += p.readAll();
        shown = log.contains("Drawing") && log.contains("kestran::Form1");
    }
    p.kill();
    p.waitForFinished(5000);
    QVERIFY2(shown, log.right(2000).constData());
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
