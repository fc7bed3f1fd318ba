#include "counterline.h"

#include <cstdlib>

namespace kestran::sim {

namespace {
constexpr int kMaxFrame = 32; // longer than any command; more is noise

bool isOctal(char c) { return c >= '0' && c <= '7'; }
bool inRange(int device, int index = 0)
{
    return device >= 0 && device < kDeviceCount && index >= 0 && index < kIndexCount;
}
} // namespace

QByteArray formatValue(long n)
{
    if (std::labs(n) > 9999999)
        return {};
    return (n < 0 ? QByteArray("-") : QByteArray("+"))
        + QByteArray::number(static_cast<qlonglong>(std::labs(n))).rightJustified(7, '0');
}

bool parseValue(const QByteArray &field, long *out)
{
    if (field.size() != 8 || (field[0] != '+' && field[0] != '-'))
        return false;
    long n = 0;
    for (int i = 1; i < 8; ++i) {
        if (field[i] < '0' || field[i] > '9')
            return false;
        n = n * 10 + (field[i] - '0');
    }
    *out = field[0] == '-' ? -n : n;
    return true;
}

CounterLine::CounterLine(const QVector<int> &devices)
{
    for (int d = 0; d < kDeviceCount; ++d) {
        m_serves[d] = devices.isEmpty() || devices.contains(d);
        for (int i = 0; i < kIndexCount; ++i)
            m_values[d][i] = initialValue(d, i);
    }
}

QByteArray CounterLine::initialValue(int device, int index)
{
    const long n = device;
    switch (index) {
    case 0: return formatValue(1000 * (n + 1));       // TARGET
    case 1: return formatValue(400 * (n + 1) + n);    // ACTUAL
    case 2: return formatValue(1000 * (n + 1) - (400 * (n + 1) + n));
    case 3: return formatValue(10 * n);               // RESET
    case 4: return formatValue(50 + n);               // DEBOUNCE(0)
    case 5: return formatValue(60 + n);               // DEBOUNCE(1)
    case 6: return formatValue(70 + n);               // DEBOUNCE(2)
    case 7: return formatValue(n + 1);                // ALARM
    }
    return {};
}

bool CounterLine::serves(int device) const { return inRange(device) && m_serves[device]; }

QVector<int> CounterLine::devices() const
{
    QVector<int> out;
    for (int d = 0; d < kDeviceCount; ++d)
        if (m_serves[d])
            out << d;
    return out;
}

QList<QByteArray> CounterLine::feed(const QByteArray &bytes)
{
    QList<QByteArray> replies;
    for (char c : bytes) {
        if (c == '*') {
            m_buffer = "*";
        } else if (m_buffer.isEmpty()) {
            continue; // noise between frames
        } else if (c == '\r') {
            m_buffer += c;
            handleFrame(m_buffer, &replies);
            m_buffer.clear();
        } else if (m_buffer.size() >= kMaxFrame) {
            m_buffer.clear(); // runaway noise after a "*"; wait for the next one
        } else {
            m_buffer += c;
        }
    }
    return replies;
}

void CounterLine::handleFrame(const QByteArray &f, QList<QByteArray> *replies)
{
    const bool readAll = f.size() == 8 && isOctal(f[1]) && f.mid(2) == "R:?=?\r";
    const bool write = f.size() == 15 && isOctal(f[1]) && f[2] == 'W' && f[3] == ':'
        && isOctal(f[4]) && f[5] == '=';
    if (!readAll && !write) {
        ++m_rejected;
        return;
    }
    m_log << f;
    const int device = f[1] - '0';
    if (readAll) {
        ++m_readAlls[device];
        if (!m_serves[device])
            return;
        for (int i = 0; i < kIndexCount; ++i)
            replies->append("*" + f.mid(1, 1) + "C:" + QByteArray::number(i) + "="
                            + m_values[device][i] + "\r");
        return;
    }
    ++m_writes[device];
    const int index = f[4] - '0';
    if (m_serves[device] && index != kDifference)
        setValue(device, index, f.mid(6, 8));
}

QByteArray CounterLine::value(int device, int index) const
{
    return inRange(device, index) ? m_values[device][index] : QByteArray();
}

void CounterLine::setValue(int device, int index, const QByteArray &value)
{
    if (!inRange(device, index))
        return;
    m_values[device][index] = value;
    if (index == kTarget || index == kActual)
        recomputeDifference(device);
}

void CounterLine::recomputeDifference(int device)
{
    long target, actual;
    if (!parseValue(m_values[device][kTarget], &target)
        || !parseValue(m_values[device][kActual], &actual))
        return;
    const QByteArray diff = formatValue(target - actual);
    if (!diff.isEmpty()) // beyond seven digits the counter keeps the old difference
        m_values[device][kDifference] = diff;
}

int CounterLine::readAllCount(int device) const { return inRange(device) ? m_readAlls[device] : 0; }
int CounterLine::writeCount(int device) const { return inRange(device) ? m_writes[device] : 0; }

} // namespace kestran::sim
