#pragma once
// An in-memory serial control for tests that must see every single call and write.
#include "serialcontrol.h"
#include <QByteArray>
#include <QStringList>
#include <functional>

namespace kestran {

class FakeComm : public SerialControl {
public:
    QStringList log;                          // "CommPort=3", "PortOpen=1", "Output=*", ...
    std::function<void(const QString &)> onOutput;   // called at every Output write
    SerialFault failWith = SerialFault::None;  // the next open fails with this
    QString failReason = QStringLiteral("Permission denied");

    void setCommPort(short p) override { m_port = p; log << QStringLiteral("CommPort=%1").arg(p); }
    short CommPort() const override { return m_port; }
    void setDevicePath(const QString &p) override { m_path = p; log << QStringLiteral("DevicePath=") + p; }
    QString devicePath() const override { return m_path; }
    bool setSettings(const QString &s) override { m_settings = s; log << QStringLiteral("Settings=") + s; return true; }
    QString Settings() const override { return m_settings; }
    void setInBufferCount(short n) override { log << QStringLiteral("InBufferCount=%1").arg(n); m_in.clear(); }
    short InBufferCount() const override { return short(m_in.size()); }
    void setInputMode(int m) override { log << QStringLiteral("InputMode=%1").arg(m); }
    void setInputLen(short n) override { log << QStringLiteral("InputLen=%1").arg(n); }
    void setRThreshold(short n) override { log << QStringLiteral("RThreshold=%1").arg(n); }
    void setSThreshold(short n) override { log << QStringLiteral("SThreshold=%1").arg(n); }
    void setDTREnable(bool on) override { log << QStringLiteral("DTREnable=%1").arg(on); }
    bool setPortOpen(bool open) override
    {
        log << QStringLiteral("PortOpen=%1").arg(open);
        if (open && failWith != SerialFault::None) {
            m_fault = failWith;
            return false;
        }
        m_open = open;
        return true;
    }
    bool PortOpen() const override { return m_open; }
    void setOutput(const QString &t) override
    {
        log << QStringLiteral("Output=") + t;
        written += t.toLatin1();
        if (onOutput)
            onOutput(t);
    }
    QString Input() override
    {
        if (m_in.isEmpty())
            return QString();
        const QString c = QString(QLatin1Char(m_in.front()));
        m_in.remove(0, 1);
        return c;
    }
    short CommEvent() const override { return m_event; }
    SerialFault fault() const override { return m_fault; }
    QString errorString() const override { return failReason; }

    // The line delivers bytes: one receive event per byte, as the real control does.
    void receive(const QByteArray &bytes)
    {
        for (char b : bytes) {
            m_in.append(b);
            m_event = 2;
            emit OnComm();
        }
    }
    void sendEvent()
    {
        m_event = 1;
        emit OnComm();
    }
    void lose(const QString &reason)
    {
        m_open = false;
        emit connectionLost(reason);
    }

    QByteArray written;

private:
    short m_port = 1;
    QString m_path, m_settings = QStringLiteral("9600,N,8,1");
    bool m_open = false;
    QByteArray m_in;
    short m_event = 0;
    SerialFault m_fault = SerialFault::None;
};

} // namespace kestran
