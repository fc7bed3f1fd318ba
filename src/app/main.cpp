// kestran-setup: the setup tool for KESTRAN counters.
//
//   kestran-setup           the window, listing the serial ports this computer has
//   kestran-setup --demo    the same, with a simulated line of counters as one more port
//   kestran-setup --trace FILE   also writes every byte sent and received to FILE
#include "form1.h"
#include "linetrace.h"
#include "mdlcomport.h"
#include "serialswitch.h"
#ifdef KESTRAN_DEMO_LINE
#include "ptycounterline.h"
#endif

#include <QApplication>
#include <QTextStream>

#include <memory>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestran-setup"));

    QStringList args = QApplication::arguments().mid(1);
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        QTextStream(stdout) << "Usage: kestran-setup [--demo] [--trace FILE]\n\n"
                               "  --demo         attach a simulated line of eight KESTRAN counters,\n"
                               "                 listed after the real serial ports\n"
                               "  --trace FILE   write every byte sent and received to FILE\n";
        return 0;
    }

    // --trace FILE: a file that cannot be written is refused before the window opens.
    kestran::LineTrace trace;
    kestran::SerialSwitch comm;   // a local port or a network gateway, by the port text
    kestran::TracingControl traced(&comm, &trace);
    const qsizetype traceAt = args.indexOf(QStringLiteral("--trace"));
    if (traceAt >= 0) {
        QString error;
        if (traceAt + 1 >= args.size()) {
            error = QStringLiteral("--trace needs a file name");
        } else {
            trace.open(args.at(traceAt + 1), &error);
            args.remove(traceAt, 2);
        }
        if (!error.isEmpty()) {
            QTextStream(stderr) << "kestran-setup: " << error << "\n";
            return 2;
        }
        QObject::connect(&trace, &kestran::LineTrace::writeFailed,
                         [](const QString &reason) { QTextStream(stderr) << "kestran-setup: " << reason << "\n"; });
    }
    for (const QString &a : args) {
        if (a != QLatin1String("--demo")) {
            QTextStream(stderr) << "kestran-setup: unknown option " << a << " (try --help)\n";
            return 2;
        }
    }

#ifdef KESTRAN_DEMO_LINE
    std::unique_ptr<kestran::sim::PtyCounterLine> line;
    if (args.contains(QStringLiteral("--demo"))) {
        kestran::sim::LineOptions options;
        options.pace = true;   // replies arrive at the speed of a real 19200-baud line
        line = std::make_unique<kestran::sim::PtyCounterLine>(options);
        QString error;
        if (!line->start(&error)) {
            QTextStream(stderr) << "kestran-setup: cannot start the simulated line: " << error << "\n";
            return 1;
        }
        kestran::mdlCOMPort::portTable().appendExtra(
            {line->slavePath(), QStringLiteral("simulated KESTRAN counters (demo)")});
    }
#else
    // The simulated line runs on a pseudo-terminal; Windows has none.
    if (args.contains(QStringLiteral("--demo"))) {
        QTextStream(stderr) << "kestran-setup: --demo is not available on this system\n";
        return 2;
    }
#endif

    kestran::Form1 window(trace.isOpen() ? static_cast<kestran::SerialControl *>(&traced) : &comm);
    window.load();
    window.show();
    return app.exec();
}
