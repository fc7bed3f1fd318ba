// kestran-counter-sim: a line of simulated KESTRAN counters on a pseudo-terminal.
#include "ptycounterline.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <pthread.h>

using kestran::sim::LineOptions;
using kestran::sim::PtyCounterLine;

namespace {
bool parseProbability(const QString &text, double *out)
{
    bool ok = false;
    const double p = text.toDouble(&ok);
    if (ok && p >= 0 && p <= 1)
        *out = p;
    return ok && p >= 0 && p <= 1;
}
} // namespace

int main(int argc, char **argv)
{
    // Block the stop signals before any thread starts; main waits for them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestran-counter-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTRAN_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulates KESTRAN counters on a pseudo-terminal.\n\n"
        "Prints the pty path (/dev/pts/N) as the first line of standard output and\n"
        "serves until SIGINT, SIGTERM or SIGHUP. Each served counter answers a\n"
        "read-all command (*aR:?=?<CR>) with eight replies *aC:i=VVVVVVVV<CR>, index\n"
        "0 to 7 in order, and stores write commands (*aW:i=VVVVVVVV<CR>) without\n"
        "answering; DIFFERENCE (index 2) is never written and follows TARGET - ACTUAL.\n"
        "Frames for other device numbers are ignored. Values start as:\n"
        "TARGET 1000*(n+1), ACTUAL 400*(n+1)+n, RESET 10*n, DEBOUNCE(0..2) 50+n,\n"
        "60+n, 70+n, ALARM n+1, for device number n. All random choices follow --seed."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption link(QStringLiteral("link"),
        QStringLiteral("Also make <path> a symlink to the pty (removed at exit); one that\n"
                       "points at a running simulator's pty is not taken over."), QStringLiteral("path"));
    const QCommandLineOption devices(QStringLiteral("devices"),
        QStringLiteral("Device numbers that answer, comma-separated (default 0,1,...,7)."), QStringLiteral("list"));
    const QCommandLineOption pace(QStringLiteral("pace"),
        QStringLiteral("Deliver bytes at 19200-baud wire time (520.8 us each)."));
    const QCommandLineOption noise(QStringLiteral("noise"),
        QStringLiteral("Chance (0-1) of 1-4 random bytes before each reply; never \"*\" unless --noise-star."),
        QStringLiteral("rate"));
    const QCommandLineOption noiseStar(QStringLiteral("noise-star"),
        QStringLiteral("Allow \"*\" among the noise bytes."));
    const QCommandLineOption split(QStringLiteral("split"),
        QStringLiteral("Write replies in random pieces of 1-6 bytes, 0.3 ms apart."));
    const QCommandLineOption drop(QStringLiteral("drop"),
        QStringLiteral("Chance (0-1) that a reply frame is not sent."), QStringLiteral("p"));
    const QCommandLineOption corrupt(QStringLiteral("corrupt"),
        QStringLiteral("Chance (0-1) that a reply has one character changed, lost or added."),
        QStringLiteral("p"));
    const QCommandLineOption delay(QStringLiteral("delay"),
        QStringLiteral("Milliseconds between a read-all command and its replies."), QStringLiteral("ms"));
    const QCommandLineOption seed(QStringLiteral("seed"),
        QStringLiteral("Seed of all random choices (default 1)."), QStringLiteral("n"));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
        QStringLiteral("Log every frame received (<-) and sent (->) to standard error."));
    parser.addOptions({link, devices, pace, noise, noiseStar, split, drop, corrupt, delay, seed, verbose});

    auto fail = [](const QString &message) {
        fprintf(stderr, "kestran-counter-sim: %s\n", qPrintable(message));
        return 2;
    };
    // Bad usage ends with 2 like a bad option value; --help and --version end here with 0.
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(parser.errorText() + QStringLiteral(" (try --help)"));
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument %1 (try --help)").arg(parser.positionalArguments().constFirst()));
    parser.process(app);

    LineOptions options;
    options.keepHistory = false;
    if (parser.isSet(devices)) {
        for (const QString &item : parser.value(devices).split(',', Qt::SkipEmptyParts)) {
            bool ok = false;
            const int d = item.trimmed().toInt(&ok);
            if (!ok || d < 0 || d > 7)
                return fail(QStringLiteral("bad device number \"%1\" (0 to 7)").arg(item));
            options.devices << d;
        }
        if (options.devices.isEmpty())
            return fail(QStringLiteral("--devices needs at least one device number"));
    }
    options.pace = parser.isSet(pace);
    options.split = parser.isSet(split);
    options.noiseMayContainStar = parser.isSet(noiseStar);
    options.verbose = parser.isSet(verbose);
    if (parser.isSet(noise) && !parseProbability(parser.value(noise), &options.noise))
        return fail(QStringLiteral("--noise wants a number from 0 to 1"));
    if (parser.isSet(drop) && !parseProbability(parser.value(drop), &options.drop))
        return fail(QStringLiteral("--drop wants a number from 0 to 1"));
    if (parser.isSet(corrupt) && !parseProbability(parser.value(corrupt), &options.corrupt))
        return fail(QStringLiteral("--corrupt wants a number from 0 to 1"));
    bool ok = true;
    if (parser.isSet(delay) && ((options.replyDelayMs = parser.value(delay).toInt(&ok)) < 0 || !ok))
        return fail(QStringLiteral("--delay wants a number of milliseconds"));
    if (parser.isSet(seed) && (options.seed = parser.value(seed).toULongLong(&ok), !ok))
        return fail(QStringLiteral("--seed wants a non-negative whole number"));

    PtyCounterLine line(options);
    QString error;
    if (!line.start(&error))
        return fail(error);
    if (parser.isSet(link) && !line.setLink(parser.value(link), &error)) {
        line.stop();
        return fail(error);
    }
    printf("%s\n", qPrintable(line.slavePath()));
    fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    line.stop();
    return 0;
}
