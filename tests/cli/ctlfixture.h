#pragma once
// The fixture of the kestran-ctl suites: the built program against the
// simulated counters on a pseudo-terminal (the simulator library in the
// test's process, so the test sees every byte that reached the line).
#include "backupfile.h"
#include "frames.h"
#include "ptycounterline.h"
#include "ser2netprocess.h"
#include "waituntil.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

using namespace kestran;
using sim::LineOptions;
using sim::PtyCounterLine;

Q_DECLARE_METATYPE(LineOptions)

inline QString buildPath(const char *relative)
{
    return qEnvironmentVariable("KESTRAN_BUILD_DIR") + QLatin1Char('/') + QLatin1String(relative);
}

struct Run {
    int code = -1;
    QByteArray out, err;
};

// What the kestran-ctl suites share: a line of simulated counters on a
// pseudo-terminal, a folder, and the program run to its end.
class CtlFixture : public QObject {
protected:
    std::unique_ptr<PtyCounterLine> line;
    QTemporaryDir dir;
    QProcess *running = nullptr;   // the program ctl() runs, while it runs
    QString stdoutFile;            // where ctl() sends its standard output ("": captured)

    bool startLine(const LineOptions &options = {})
    {
        line = std::make_unique<PtyCounterLine>(options);
        return line->start();
    }
    QString port() const { return line->slavePath(); }
    QString file(const QString &name) const { return dir.filePath(name); }

    void start(QProcess &p, const QStringList &args)
    {
        p.setProgram(buildPath("src/kestran-ctl"));
        p.setArguments(args);
        p.start();
    }
    // Runs the program to its end; `during` is called every millisecond meanwhile.
    Run ctl(const QStringList &args, const std::function<void()> &during = {}, const QByteArray &input = {})
    {
        QProcess p;
        if (!stdoutFile.isEmpty())
            p.setStandardOutputFile(stdoutFile);
        running = &p;
        start(p, args);
        p.write(input);
        p.closeWriteChannel();
        Run r;
        if (!waitUntil([&] {
                if (during)
                    during();
                return p.state() == QProcess::NotRunning;
            }, 30000)) {
            p.kill();
            p.waitForFinished();
        }
        running = nullptr;
        // The program's last bytes may still be on their way through the pty
        // to the line's thread: let what the line received stand still first.
        if (line && line->isRunning()) {
            QElapsedTimer still;
            still.start();
            QByteArray seen = line->received();
            waitUntil([&] {
                const QByteArray now = line->received();
                if (now != seen) {
                    seen = now;
                    still.restart();
                }
                return still.elapsed() >= 20;
            }, 1000);
        }
        r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }
    void writeFile(const QString &name, const QByteArray &bytes)
    {
        QFile f(file(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QVector<QByteArray> values(int device)
    {
        QVector<QByteArray> v;
        for (int i = 0; i < 8; ++i)
            v << line->value(device, i);
        return v;
    }
    void setValues(int device, const QVector<QByteArray> &v)
    {
        line->withLine([&](sim::CounterLine &l) {
            for (int i = 0; i < 8; ++i)
                l.setValue(device, i, v[i]);
        });
    }
    static QStringList resultsOf(const QByteArray &json)
    {
        QStringList r;
        for (const QJsonValue &row : QJsonDocument::fromJson(json).array())
            r << row[QLatin1String("result")].toString(row[QLatin1String("action")].toString());
        return r;
    }
    void resetLine()
    {
        line.reset();
        stdoutFile.clear();
    }
};
