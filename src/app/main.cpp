// kestran-setup: the setup tool for KESTRAN counters.
//
//   kestran-setup           the window, listing the serial ports this computer has
//   kestran-setup --demo    the same, with a simulated line of counters as one more port
//   kestran-setup --trace FILE   also writes every byte sent and received to FILE
#include "form1.h"
#include "linetrace.h"
#include "mdlcomport.h"
#include "serialswitch.h"
#include "tlssettings.h"
#include "textout.h"
#ifdef KESTRAN_DEMO_LINE
#include "ptycounterline.h"
#endif
#ifdef KESTRAN_DEMO_NETWORK
#include "tcpcounterline.h"
#endif

#include <QApplication>
#include <QCommandLineParser>
#include <QTextStream>

#include <memory>

namespace {

const char *const kProgram = "kestran-setup";

struct Options {
    bool demo = false;
    QString traceFile;   // empty: no trace
};

// The options the application object itself understands ("-platform offscreen",
// "-style fusion", ...). They are accepted here and left in argv for it.
void addWindowSystemOptions(QCommandLineParser &parser)
{
    const char *const withValue[] = {"platform", "platformpluginpath", "platformtheme", "plugin",
                                     "qwindowgeometry", "qwindowicon", "qwindowtitle", "geometry",
                                     "title", "icon", "display", "name", "session", "style",
                                     "stylesheet", "qmljsdebugger"};
    const char *const flags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync", "testability"};
    for (const char *name : withValue) {
        QCommandLineOption o(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        o.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(o);
    }
    for (const char *name : flags) {
        QCommandLineOption o(QString::fromLatin1(name));
        o.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(o);
    }
}

// Reads the command line before any application object exists, so that --help,
// --version and usage errors answer without a display (over SSH, in a package
// build). Returns -1 to go on and start the window, or the exit code to end with.
int readOptions(int argc, char **argv, Options *out)
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);

    QCommandLineParser parser;
    // One dash or two, like the application object's own options.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral(
        "The setup tool for KESTRAN counters on a serial line (19200 baud 8N1,\n"
        "device numbers 0 to 7): pick a port, open it, read a counter's values,\n"
        "edit them and write them back with Setup."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption demo(QStringLiteral("demo"),
#ifdef Q_OS_WIN
        QStringLiteral("Attach a simulated line of eight KESTRAN counters,\n"
                       "under the first COM number no device answers to."));
#else
        QStringLiteral("Attach a simulated line of eight KESTRAN counters,\n"
                       "listed after the real serial ports."));
#endif
    const QCommandLineOption trace(QStringLiteral("trace"),
        QStringLiteral("Write every byte sent and received to <FILE>,\n"
                       "one line per burst, flushed as it goes."),
        QStringLiteral("FILE"));
    parser.addOptions({help, version, demo, trace});
    addWindowSystemOptions(parser);

    QTextStream err(stderr);
    if (!parser.parse(args)) {
        err << kProgram << ": " << parser.errorText() << " (try --help)\n";
        return 2;
    }
    if (parser.isSet(help)) {
        QString text = parser.helpText();
        text.replace(QLatin1String("<executable_name>"), QLatin1String(kProgram));
        kestran::app::showInformation(QStringLiteral("KESTRAN SETUP: help"), text);
        return 0;
    }
    if (parser.isSet(version)) {
        kestran::app::showInformation(QStringLiteral("KESTRAN SETUP"),
                                      QStringLiteral("%1 %2\n").arg(QLatin1String(kProgram),
                                                                      QLatin1String(KESTRAN_VERSION)));
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        err << kProgram << ": unexpected argument " << parser.positionalArguments().constFirst()
            << " (try --help)\n";
        return 2;
    }
    out->demo = parser.isSet(demo);
    out->traceFile = parser.value(trace);
    if (parser.isSet(trace) && out->traceFile.isEmpty()) {
        err << kProgram << ": --trace needs a file name\n";
        return 2;
    }
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (const int code = readOptions(argc, argv, &options); code >= 0)
        return code;

    // --trace FILE: a file that cannot be written is refused before the window
    // opens, also where no display could be had.
    auto trace = std::make_unique<kestran::LineTrace>();
    if (!options.traceFile.isEmpty()) {
        QString error;
        if (!trace->open(options.traceFile, &error)) {
            if (error.isEmpty())
                error = QStringLiteral("cannot write the trace file %1").arg(options.traceFile);
            QTextStream(stderr) << kProgram << ": " << error << "\n";
            return 2;
        }
        QObject::connect(trace.get(), &kestran::LineTrace::writeFailed, [](const QString &reason) {
            QTextStream(stderr) << kProgram << ": " << reason << "\n";
        });
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(kProgram));
    QApplication::setApplicationVersion(QStringLiteral(KESTRAN_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral(KESTRAN_APP_ID));

#ifdef KESTRAN_DEMO_LINE
    std::unique_ptr<kestran::sim::PtyCounterLine> line;
    if (options.demo) {
        kestran::sim::LineOptions lineOptions;
        lineOptions.pace = true;   // replies arrive at the speed of a real 19200-baud line
        line = std::make_unique<kestran::sim::PtyCounterLine>(lineOptions);
        QString error;
        if (!line->start(&error)) {
            QTextStream(stderr) << kProgram << ": cannot start the simulated line: " << error << "\n";
            return 1;
        }
        kestran::mdlCOMPort::portTable().appendExtra(
            {line->slavePath(), QStringLiteral("simulated KESTRAN counters (demo)")});
    }
#elif defined(KESTRAN_DEMO_NETWORK)
    // No pseudo-terminals here: the simulated counters answer in this process,
    // behind a network port of this computer, under the first free COM number.
    std::unique_ptr<kestran::sim::TcpCounterLine> line;
    if (options.demo) {
        line = std::make_unique<kestran::sim::TcpCounterLine>();
        QString error;
        if (!line->start(&error)) {
            QTextStream(stderr) << kProgram << ": cannot start the simulated line: " << error << "\n";
            return 1;
        }
        if (kestran::mdlCOMPort::portTable().attachExtra(
                    {line->url(), QStringLiteral("simulated KESTRAN counters (demo)")}) == 0) {
            QTextStream(stderr) << kProgram << ": cannot start the simulated line: every COM number is taken\n";
            return 1;
        }
    }
#else
    if (options.demo) {
        QTextStream(stderr) << "kestran-setup: --demo is not available on this system\n";
        return 2;
    }
#endif

    int code = 0;
    {
        kestran::SerialSwitch comm;   // a local port or a network gateway, by the port text
        // TLS gateways: the per-user settings file, read again at each start.
        comm.setTlsSettings(kestran::readTlsSettingsFile(kestran::userTlsSettingsPath()));
        kestran::TracingControl traced(&comm, trace.get());
        kestran::Form1 window(trace->isOpen() ? static_cast<kestran::SerialControl *>(&traced) : &comm);
        window.load();
        window.show();
        code = app.exec();
    }
    trace.reset();   // its last lines go out while the application object still exists
    return code;
}
