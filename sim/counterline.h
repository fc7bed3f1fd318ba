#pragma once
// A line of simulated counters: pure protocol logic, no I/O.
#include <QByteArray>
#include <QList>
#include <QVector>
#include <array>

namespace kestran::sim {

constexpr int kDeviceCount = 8;
constexpr int kIndexCount = 8;
constexpr int kTarget = 0, kActual = 1, kDifference = 2;

// A value field as the counter sends it: sign and seven digits ("+0001234").
// Returns an empty array when |n| does not fit in seven digits.
QByteArray formatValue(long n);
// Parses a value field of that exact shape; false for anything else.
bool parseValue(const QByteArray &field, long *out);

class CounterLine {
public:
    // The device numbers this line answers; empty means all eight.
    explicit CounterLine(const QVector<int> &devices = {});

    // The values a counter starts with, different for every device number.
    static QByteArray initialValue(int device, int index);

    bool serves(int device) const;
    QVector<int> devices() const;

    // Takes bytes received from the tool, in any chunking. Returns the reply
    // frames to send, in order (a read-all gets one reply per index "0".."7").
    // Writes are stored and answered with nothing.
    QList<QByteArray> feed(const QByteArray &bytes);
    // Drops a partly received frame (a fresh line after a restart).
    void resetInput() { m_buffer.clear(); }

    QByteArray value(int device, int index) const;
    // Stores a value as a write would: setting TARGET or ACTUAL recomputes
    // DIFFERENCE; setting DIFFERENCE stores it as given.
    void setValue(int device, int index, const QByteArray &value);

    // Well-formed command frames seen, per device address (served or not).
    int readAllCount(int device) const;
    int writeCount(int device) const;
    // Every well-formed command frame received, in order, including its CR.
    QList<QByteArray> commandLog() const { return m_log; }
    // Pieces ending in CR that were no command frame.
    int rejectedCount() const { return m_rejected; }
    void clearCommandLog() { m_log.clear(); }

private:
    void handleFrame(const QByteArray &frame, QList<QByteArray> *replies);
    void recomputeDifference(int device);

    std::array<bool, kDeviceCount> m_serves{};
    std::array<std::array<QByteArray, kIndexCount>, kDeviceCount> m_values;
    std::array<int, kDeviceCount> m_readAlls{};
    std::array<int, kDeviceCount> m_writes{};
    QList<QByteArray> m_log;
    QByteArray m_buffer;
    int m_rejected = 0;
};

} // namespace kestran::sim
