// kestran-setup: the setup tool for KESTRAN counters.
//
//   kestran-setup           the window, listing the serial ports this computer has
//   kestran-setup --demo    the same, with a simulated line of counters as one more port
#include "form1.h"
#include "mdlcomport.h"
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

    const QStringList args = QApplication::arguments().mid(1);
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        QTextStream(stdout) << "Usage: kestran-setup [--demo]\n\n"
                               "  --demo   attach a simulated line of eight KESTRAN counters,\n"
                               "           listed after the real serial ports\n";
        return 0;
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

    kestran::Form1 window;
    window.load();
    window.show();
    return app.exec();
}
