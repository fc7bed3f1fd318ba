// Renders the window offscreen to PNG files for the README:
//   <dir>/window.png        the window after start-up
//   <dir>/window-demo.png   the window after opening a simulated counter line
#include "controls.h"
#include "form1.h"
#include "mdlcomport.h"
#include "mscomm.h"
#include "ptycounterline.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTextStream>

using namespace kestran;

static bool save(QWidget &w, const QString &file)
{
    const bool ok = w.grab().save(file);
    QTextStream(ok ? stdout : stderr) << (ok ? "wrote " : "cannot write ") << file << "\n";
    return ok;
}

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs");
    QDir().mkpath(dir);

    sim::LineOptions options;
    options.pace = true;
    sim::PtyCounterLine line(options);
    if (!line.start())
        return 1;
    mdlCOMPort::portTable().appendExtra({line.slavePath(), QStringLiteral("simulated KESTRAN counters (demo)")});

    Form1 form;
    form.load();
    form.show();
    QCoreApplication::processEvents();
    if (!save(form, dir + QStringLiteral("/window.png")))
        return 1;

    // Pick the simulated port (the last entry), open it, and wait for the values.
    form.cCom->setListIndex(form.cCom->count() - 1);
    form.bCONNECT->click();
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired() && form.sALARM->text().isEmpty())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    QCoreApplication::processEvents();
    return save(form, dir + QStringLiteral("/window-demo.png")) ? 0 : 1;
}
