#pragma once
// A trace of the serial line: every byte sent and received, one line per burst,
// with a time stamp, the direction, hex and printable ASCII, flushed as it goes.
//
// TracingControl wraps any SerialControl and records what passes through it,
// so the window and kestran-ctl trace the same way.
#include "serialcontrol.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <memory>

namespace kestran {

class LineTrace : public QObject {
    Q_OBJECT
public:
    enum Direction { Sent, Received };

    // Bytes of one direction with no gap longer than this form one burst.
    static constexpr int kBurstGapMs = 3;
    // A burst is written out once it reaches this many bytes.
    static constexpr int kMaxBurst = 128;

    explicit LineTrace(QObject *parent = nullptr);
    ~LineTrace() override;

    // Creates (truncates) the file and writes its head line. False with the
    // reason in `error` when it cannot be written.
    bool open(const QString &path, QString *error);
    bool isOpen() const { return m_file.isOpen(); }

    void record(Direction dir, const QByteArray &bytes);
    // Writes out the burst being gathered.
    void flush();
    // Free-text line (opened, closed, lost), also flushed at once.
    void note(const QString &text);

    // Local time to the millisecond with its offset from UTC, as ISO 8601
    // writes it: "2026-12-07T15:16:29.123+01:00".
    static QString timeStamp(const QDateTime &time);

    // One trace line: "2026-12-07T15:16:29.123+01:00  +0.012345  TX  2a 30 ...  |*0R:?=?.|".
    static QByteArray formatLine(const QByteArray &stamp, qint64 sinceStartUs, Direction dir,
                                 const QByteArray &bytes);

signals:
    // Writing failed (disk full, file gone); raised once, with the reason.
    void writeFailed(const QString &reason);

private:
    void writeLine(const QByteArray &line);

    QFile m_file;
    QElapsedTimer m_clock;
    QTimer m_gap;
    Direction m_dir = Sent;
    QByteArray m_pending;
    QByteArray m_pendingStamp;
    qint64 m_pendingUs = 0;
    bool m_failed = false;
};

// Passes every call on to `inner` and records the bytes in `trace`.
class TracingControl : public SerialControl {
    Q_OBJECT
public:
    TracingControl(SerialControl *inner, LineTrace *trace, QObject *parent = nullptr);

    SerialControl *inner() const { return m_inner; }

    void setCommPort(short port) override { m_inner->setCommPort(port); }
    short CommPort() const override { return m_inner->CommPort(); }
    void setDevicePath(const QString &path) override { m_inner->setDevicePath(path); }
    QString devicePath() const override { return m_inner->devicePath(); }
    bool setSettings(const QString &settings) override { return m_inner->setSettings(settings); }
    QString Settings() const override { return m_inner->Settings(); }
    void setInBufferCount(short n) override { m_inner->setInBufferCount(n); }
    short InBufferCount() const override { return m_inner->InBufferCount(); }
    void setInputMode(int mode) override { m_inner->setInputMode(mode); }
    void setInputLen(short n) override { m_inner->setInputLen(n); }
    void setRThreshold(short n) override { m_inner->setRThreshold(n); }
    void setSThreshold(short n) override { m_inner->setSThreshold(n); }
    void setDTREnable(bool on) override { m_inner->setDTREnable(on); }
    void setReceiveEventMode(ReceiveEventMode mode) override { m_inner->setReceiveEventMode(mode); }
    bool setPortOpen(bool open) override;
    bool PortOpen() const override { return m_inner->PortOpen(); }
    void setOutput(const QString &text) override;
    QString Input() override;
    short CommEvent() const override { return m_inner->CommEvent(); }
    SerialFault fault() const override { return m_inner->fault(); }
    QString errorString() const override { return m_inner->errorString(); }

private:
    SerialControl *m_inner;
    LineTrace *m_trace;
};

} // namespace kestran
