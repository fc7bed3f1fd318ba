#pragma once
// The serial control for a line behind a network gateway: "tcp://HOST:PORT"
// carries the line's bytes as they are, "rfc2217://HOST:PORT" speaks Telnet
// with the COM-PORT-OPTION and sets the line itself. The device path names
// the gateway; CommPort is kept but not used.
//
// Opening waits for the connection inside the event loop, at most
// kConnectTimeoutMs, so the window keeps answering; setPortOpen(false) from a
// handler run meanwhile cancels it, and the open then fails with Cancelled.
#include "serialcontrol.h"

namespace kestran {

class TelnetComPort;

class NetComm : public SerialControl {
    Q_OBJECT
public:
    static constexpr int kConnectTimeoutMs = 3000;

    explicit NetComm(QObject *parent = nullptr);
    ~NetComm() override;

    void setCommPort(short port) override;
    short CommPort() const override;
    void setDevicePath(const QString &path) override;
    QString devicePath() const override;
    bool setSettings(const QString &settings) override;
    QString Settings() const override;
    void setInBufferCount(short n) override;
    short InBufferCount() const override;
    void setInputMode(int mode) override;
    void setInputLen(short n) override;
    void setRThreshold(short n) override;
    void setSThreshold(short n) override;
    void setDTREnable(bool on) override;
    bool setPortOpen(bool open) override;
    bool PortOpen() const override;
    void setOutput(const QString &text) override;
    QString Input() override;
    short CommEvent() const override;
    SerialFault fault() const override;
    QString errorString() const override;

    // The Telnet side of the open (or last) rfc2217 connection.
    const TelnetComPort &telnet() const;

private:
    struct Private;
    Private *d;
};

} // namespace kestran
