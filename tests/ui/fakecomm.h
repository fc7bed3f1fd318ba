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
    QByteArray written;                       // everything output, as bytes
    std::function<void(const QString &)> onOutput;   // called at every Output write
    SerialFault failWith = SerialFault::None;  // the next open fails with this
    QString failReason = QStringLiteral("Permission denied");

    void setCommPort(short p) override { m_port = p; note("CommPort", p); }
    short CommPort() const override { return m_port; }
    void setDevicePath(const QString &p) override { m_path = p; log << QStringLiteral("DevicePath=") + p; }
    QString devicePath() const override { return m_path; }
    bool setSettings(const QString &s) override { m_settings = s; log << QStringLiteral("Settings=") + s; return true; }
    QString Settings() const override { return m_settings; }
    void setInBufferCount(short n) override { note("InBufferCount", n); m_in.clear(); }
    short InBufferCount() const override { return short(m_in.size()); }
    void setInputMode(int m) override { note("InputMode", m); }
    void setInputLen(short n) override { note("InputLen", n); }
    void setRThreshold(short n) override { note("RThreshold", n); }
    void setSThreshold(short n) override { note("SThreshold", n); }
    void setDTREnable(bool on) override { note("DTREnable", on); }
    bool setPortOpen(bool open) override
    {
        note("PortOpen", open);
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
        const QString c = m_in.isEmpty() ? QString() : QString(QLatin1Char(m_in.front()));
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
    void sendEvent() { m_event = 1; emit OnComm(); }
    void lose(const QString &reason) { m_open = false; emit connectionLost(reason); }   // the device vanished

private:
    void note(const char *what, int value) { log << QStringLiteral("%1=%2").arg(QLatin1String(what)).arg(value); }

    short m_port = 1, m_event = 0;
    QString m_path, m_settings = QStringLiteral("9600,N,8,1");
    bool m_open = false;
    QByteArray m_in;
    SerialFault m_fault = SerialFault::None;
};

} // namespace kestran
