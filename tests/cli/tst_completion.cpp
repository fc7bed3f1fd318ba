// The shell completions of kestran-ctl offer every subcommand of --help and,
// for each subcommand, every option its help shows: bash by running its
// completion function, zsh and fish by reading their files. Each file must
// also parse in its own shell: the test command installs all three
// (scripts/test), so a missing shell fails the row instead of passing unseen.
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QtTest>

namespace {

using Words = QSet<QString>;

QString ctlPath()
{
    return qEnvironmentVariable("KESTRAN_BUILD_DIR") + QStringLiteral("/src/kestran-ctl");
}

QString completionFile(const char *name)
{
    return QStringLiteral(KESTRAN_SOURCE_DIR "/data/completion/") + QLatin1String(name);
}

QString run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(20000))
        return {};
    return QString::fromUtf8(p.readAllStandardOutput());
}

QString readText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

Words matches(const QString &text, const QString &pattern)
{
    Words found;
    QRegularExpressionMatchIterator it = QRegularExpression(pattern).globalMatch(text);
    while (it.hasNext())
        found.insert(it.next().captured(1));
    return found;
}

QString missing(const Words &wanted, const Words &offered)
{
    QStringList m = (wanted - offered).values();
    m.sort();
    return m.join(QLatin1Char(' '));
}

} // namespace

class TestCompletion : public QObject {
    Q_OBJECT

    QString mainHelp;
    Words subcommands;

    // What the program's help says `sub` takes: the options of its usage line,
    // each with its other spelling ("-d" and "--device"), the options every
    // subcommand takes, and the port wherever there is a line.
    Words optionsOf(const QString &sub)
    {
        const QString help = run(ctlPath(), {QStringLiteral("help"), sub});
        const QString usage = help.section(QLatin1Char('\n'), 0, 0);
        Words options = matches(usage, QStringLiteral("(?:^|[\\s\\[|(])(--?[a-z][a-z-]*)"));
        // "  -d, --device N": the two spellings of one option.
        QRegularExpressionMatchIterator it =
            QRegularExpression(QStringLiteral("^  (-[a-z]), (--[a-z][a-z-]*)"), QRegularExpression::MultilineOption)
                .globalMatch(help);
        while (it.hasNext()) {
            const QRegularExpressionMatch m = it.next();
            if (options.contains(m.captured(1)) || options.contains(m.captured(2)))
                options << m.captured(1) << m.captured(2);
        }
        options << QStringLiteral("--trace") << QStringLiteral("--ca") << QStringLiteral("--cert")
                << QStringLiteral("--key") << QStringLiteral("--pin") << QStringLiteral("-q") << QStringLiteral("--quiet") << QStringLiteral("-h")
                << QStringLiteral("--help");
        // ports and history open no line.
        if (sub != QLatin1String("ports") && sub != QLatin1String("history"))
            options << QStringLiteral("--port");
        return options;
    }

    Words bashOffers(const QStringList &words)
    {
        const QString script = QStringLiteral(
            "source \"$1\"; shift; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _kestran_ctl; printf '%s\\n' \"${COMPREPLY[@]}\"");
        const QString shown = run(QStringLiteral("bash"),
                                  QStringList{QStringLiteral("-c"), script, QStringLiteral("bash"),
                                              completionFile("kestran-ctl.bash")} + words);
        const QStringList lines = shown.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        return Words(lines.cbegin(), lines.cend());
    }

    // zsh: the options of the subcommand's branch, and those of `common` that it uses.
    Words zshOffers(const QString &sub)
    {
        const QString text = readText(completionFile("_kestran-ctl"));
        const QString spec = QStringLiteral("'(?:\\([^)]*\\))?(--?[a-z][a-z-]*)\\[");
        if (sub.isEmpty())
            return matches(text.section(QStringLiteral("subcommands=("), 1).section(QStringLiteral("\n  )"), 0, 0),
                           QStringLiteral("'([a-z]+):"));
        const QString branch = text.section(QStringLiteral("\n        %1)\n").arg(sub), 1).section(QStringLiteral(";;"), 0, 0);
        Words offered = matches(branch, spec);
        if (branch.contains(QLatin1String("$common")))
            offered += matches(text.section(QStringLiteral("common=("), 1).section(QStringLiteral("\n  )"), 0, 0), spec);
        if (sub == QLatin1String("help"))
            offered += matches(branch, QStringLiteral("[( ]([a-z]+)(?=[ )])"));
        return offered;
    }

    // fish: the lines whose condition names the subcommand ("not ..." before
    // any subcommand; no condition: everywhere).
    Words fishOffers(const QString &sub)
    {
        Words offered;
        const QStringList lines = readText(completionFile("kestran-ctl.fish")).split(QLatin1Char('\n'));
        const QRegularExpression condition(QStringLiteral("-n \"(not )?__fish_seen_subcommand_from ([^\"]*)\""));
        for (const QString &line : lines) {
            if (!line.startsWith(QLatin1String("complete -c kestran-ctl ")))
                continue;
            const QRegularExpressionMatch cond = condition.match(line);
            const bool applies = !cond.hasMatch() ? true
                               : !cond.captured(1).isEmpty() ? sub.isEmpty()
                               : !sub.isEmpty() && cond.captured(2).split(QLatin1Char(' ')).contains(sub);
            if (!applies)
                continue;
            for (const QString &l : matches(line, QStringLiteral(" -l ([a-z-]+)")))
                offered << QStringLiteral("--") + l;
            for (const QString &c : matches(line, QStringLiteral(" -s ([a-z])")))
                offered << QStringLiteral("-") + c;
            for (const QString &a : matches(line, QStringLiteral(" -a \"?([a-z][a-z ]*)")))
                for (const QString &w : a.split(QLatin1Char(' '), Qt::SkipEmptyParts))
                    offered << w;
        }
        return offered;
    }

private slots:
    void initTestCase()
    {
        mainHelp = run(ctlPath(), {QStringLiteral("--help")});
        QVERIFY2(mainHelp.startsWith(QLatin1String("Usage: kestran-ctl")), qPrintable(mainHelp));
        const QString list = mainHelp.section(QStringLiteral("Subcommands:\n"), 1).section(QStringLiteral("\n\n"), 0, 0);
        subcommands = matches(list, QStringLiteral("(?:^|\\n)  ([a-z]+) "));
        QVERIFY2(subcommands.size() >= 8 && subcommands.contains(QStringLiteral("help")), qPrintable(list));
    }

    void syntax_data()
    {
        QTest::addColumn<QString>("shell");
        QTest::addColumn<QString>("file");
        QTest::newRow("bash") << "bash" << completionFile("kestran-ctl.bash");
        QTest::newRow("zsh") << "zsh" << completionFile("_kestran-ctl");
        QTest::newRow("fish") << "fish" << completionFile("kestran-ctl.fish");
    }
    void syntax()
    {
        QFETCH(QString, shell);
        QFETCH(QString, file);
        if (QStandardPaths::findExecutable(shell).isEmpty())
            QFAIL(qPrintable(shell + " is not installed: the test command installs it (scripts/test)"));
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(shell, {QStringLiteral("-n"), file});
        QVERIFY(p.waitForFinished(20000));
        QVERIFY2(p.exitCode() == 0, p.readAll().constData());
    }

    void subcommandsCompleted()
    {
        const Words top = subcommands + Words{QStringLiteral("--help"), QStringLiteral("--version")};
        QString gap = missing(top, bashOffers({QStringLiteral("kestran-ctl"), QString()}));
        QVERIFY2(gap.isEmpty(), qPrintable("bash: " + gap));
        gap = missing(subcommands, zshOffers(QString()));
        QVERIFY2(gap.isEmpty(), qPrintable("zsh: " + gap));
        gap = missing(top, fishOffers(QString()));
        QVERIFY2(gap.isEmpty(), qPrintable("fish: " + gap));
    }

    void optionsCompleted_data()
    {
        QTest::addColumn<QString>("sub");
        for (const QString &s : std::as_const(subcommands))
            if (s != QLatin1String("help"))
                QTest::newRow(qPrintable(s)) << s;
    }
    void optionsCompleted()
    {
        QFETCH(QString, sub);
        const Words wanted = optionsOf(sub);
        QVERIFY2(wanted.size() > 5, qPrintable(sub));
        QString gap = missing(wanted, bashOffers({QStringLiteral("kestran-ctl"), sub, QStringLiteral("-")}));
        QVERIFY2(gap.isEmpty(), qPrintable("bash: " + gap));
        gap = missing(wanted, zshOffers(sub));
        QVERIFY2(gap.isEmpty(), qPrintable("zsh: " + gap));
        gap = missing(wanted, fishOffers(sub));
        QVERIFY2(gap.isEmpty(), qPrintable("fish: " + gap));
    }

    void helpCompletesSubcommands()
    {
        Words named = subcommands;
        named.remove(QStringLiteral("help"));
        QString gap = missing(named, bashOffers({QStringLiteral("kestran-ctl"), QStringLiteral("help"), QString()}));
        QVERIFY2(gap.isEmpty(), qPrintable("bash: " + gap));
        gap = missing(named, zshOffers(QStringLiteral("help")));
        QVERIFY2(gap.isEmpty(), qPrintable("zsh: " + gap));
        gap = missing(named, fishOffers(QStringLiteral("help")));
        QVERIFY2(gap.isEmpty(), qPrintable("fish: " + gap));
    }

    // restore's --only and --skip take NAMES separated by commas: bash offers
    // the settings for the last one, keeping those before it.
    void restoreNamesCompleted()
    {
        const QStringList line{QStringLiteral("kestran-ctl"), QStringLiteral("restore"), QStringLiteral("plant.json")};
        QCOMPARE(bashOffers(line + QStringList{QStringLiteral("--only"), QStringLiteral("TARGET,DEB")}),
                 (Words{QStringLiteral("TARGET,DEBOUNCE0"), QStringLiteral("TARGET,DEBOUNCE1"), QStringLiteral("TARGET,DEBOUNCE2")}));
        QCOMPARE(bashOffers(line + QStringList{QStringLiteral("--skip"), QStringLiteral("A")}),
                 (Words{QStringLiteral("ACTUAL"), QStringLiteral("ALARM")}));
        // The subcommand is still found behind an option and its NAMES.
        QVERIFY(bashOffers({QStringLiteral("kestran-ctl"), QStringLiteral("--only"), QStringLiteral("TARGET"),
                            QStringLiteral("restore"), QStringLiteral("--with")})
                    .contains(QStringLiteral("--with-actual")));
    }
};

QTEST_GUILESS_MAIN(TestCompletion)
#include "tst_completion.moc"
