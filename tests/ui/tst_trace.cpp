// The window over the traced serial control (kestran-setup --trace): it reads
// and writes as before, and the trace holds every frame both ways.
#include "linetrace.h"
#include "windowfixture.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace kestran;

namespace {
// A serial control that records into a trace file in a scratch folder.
// The parts come first, so they exist before the control that uses them.
struct TraceParts {
    QTemporaryDir dir;
    LineTrace trace;
    MSComm real;
};
struct TracedComm : TraceParts, TracingControl {
    TracedComm() : TracingControl(&real, &trace) { trace.open(path(), nullptr); }
    QString path() const { return dir.filePath(QStringLiteral("trace.txt")); }
};
} // namespace

class TestTrace : public QObject {
    Q_OBJECT
private slots:
    void windowTraced()
    {
        WindowOnLine<TracedComm> win;
        QVERIFY(win.startLine());
        QVERIFY(win.open());
        QTRY_COMPARE(misshownInitial(win.form, 0), QString());
        win.form.sRESET->setText(QStringLiteral("+0000044"));
        win.form.bSETUP->click();
        QTRY_COMPARE(win.line->value(0, 3), QByteArray("+0000044"));
        win.form.bCONNECT->click();   // closed: noted in the trace
        QFile f(win.comm.path());
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray t = f.readAll();
        // The window writes a frame in eight pieces; the trace shows it as one burst.
        QVERIFY2(t.contains("  TX  2a 30 52 3a 3f 3d 3f 0d  |*0R:?=?.|\n"), t.constData());
        QVERIFY(t.contains("|*0W:3=+0000044.|\n"));
        QVERIFY(t.contains("  RX  2a 30 43 3a 30 3d"));
        QVERIFY(t.contains("port opened") && t.contains("port closed"));
    }
};

QTEST_MAIN(TestTrace)
#include "tst_trace.moc"
