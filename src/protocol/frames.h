#pragma once
// Command frames the tool puts on the line.
#include <QByteArray>
#include <QChar>
#include <QString>

namespace kestran {

constexpr char kCR = '\r';
// One byte on the line: 10 bits (start, 8 data, stop) at 19200 baud, in ns.
constexpr qint64 kByteNs = 520833;

// After every value written the line is quiet this long before the next
// frame, so that the counter has taken the value.
constexpr int kSetupPauseMs = 250;

// The device address: the eighth character of the device list's text, or the
// empty text when the text is shorter.
QString deviceAddress(const QString &deviceText);

// What a frame is written to. deviceText() is read afresh for every frame;
// output() receives each of the frame's eight pieces in turn.
class FrameOutput {
public:
    virtual ~FrameOutput() = default;
    virtual QString deviceText() const = 0;
    virtual void output(const QString &piece) = 0;
};

// "*", address, "R", ":", "?", "=", "?", CR: eight writes.
void SendReadAll(FrameOutput &out);
// "*", address, "W", ":", index, "=", value (one write of the whole field), CR: eight writes.
void SendWrite(FrameOutput &out, QChar index, const QString &value);

// The same frames as plain bytes (for the simulator, tests and benchmarks).
QByteArray readAllFrame(QChar address);
QByteArray writeFrame(QChar address, QChar index, const QByteArray &value);
QByteArray replyFrame(QChar address, QChar index, const QByteArray &value);

} // namespace kestran
