#pragma once
// The simulated counters in process: a serial control whose far end is a
// CounterLine, replies delivered from the event loop as a line would. No
// pseudo-terminal, no process.
#include "counterline.h"
#include "serialcontrol.h"

#include <QTimer>

#include <functional>

namespace kestran::test {

class SimComm : public SerialControl {
public:
    sim::CounterLine line;
    // Changes each reply frame before it goes out (return "" to drop it).
    std::function<QByteArray(const QByteArray &)> mangle;
    // Called with every frame sent; returning true loses the line instead.
    std::function<bool(const QByteArray &)> loseAt;

    explicit SimComm(const QVector<int> &devices = {}) : line(devices) { m_open = true; }

    void setCommPort(short) override {}
    short CommPort() const override { return 1; }
    void setDevicePath(const QString &) override {}
    QString devicePath() const override { return QString(); }
    bool setSettings(const QString &) override { return true; }
    QString Settings() const override { return QStringLiteral("19200,N,8,1"); }
    void setInBufferCount(short) override { m_in.clear(); }
    short InBufferCount() const override { return short(m_in.size()); }
    void setInputMode(int) override {}
    void setInputLen(short) override {}
    void setRThreshold(short) override {}
    void setSThreshold(short) override {}
    void setDTREnable(bool) override {}
    bool setPortOpen(bool open) override { m_open = open; return true; }
    bool PortOpen() const override { return m_open; }
    void setOutput(const QString &text) override
    {
        const QByteArray frame = text.toLatin1();
        if (loseAt && loseAt(frame)) {
            QTimer::singleShot(0, this, [this] {
                m_open = false;
                emit connectionLost(QStringLiteral("the cable was pulled"));
            });
            return;
        }
        QByteArray replies;
        for (const QByteArray &r : line.feed(frame))
            replies += mangle ? mangle(r) : r;
        if (replies.isEmpty())
            return;
        QTimer::singleShot(0, this, [this, replies] {
            m_in += replies;
            emit OnComm();
        });
    }
    QString Input() override
    {
        const QString chunk = QString::fromLatin1(m_in);
        m_in.clear();
        return chunk;
    }
    short CommEvent() const override { return short(CommEventCode::Receive); }
    SerialFault fault() const override { return m_open ? SerialFault::None : SerialFault::Lost; }
    QString errorString() const override { return QString(); }

private:
    bool m_open = false;
    QByteArray m_in;
};

} // namespace kestran::test
