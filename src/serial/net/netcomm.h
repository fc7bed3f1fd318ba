#pragma once
// The serial control for a line behind a network gateway: "tcp://HOST:PORT"
// carries the line's bytes as they are, "rfc2217://HOST:PORT" speaks Telnet
// with the COM-PORT-OPTION and sets the line itself. The device path names
// the gateway; CommPort is kept but not used. "tls://" and "rfc2217+tls://"
// are the same inside TLS: the gateway's certificate is checked against the
// CA of the TLS settings (or the system's store) and the host's name, or
// against a pinned fingerprint; nothing switches that off.
//
// Once connected (and trusted) the line settles: what the gateway sends
// before it has been quiet a moment is dropped (late replies it held, a
// banner), and an RFC 2217 gateway is asked to purge its buffers.
//
// Opening waits for the connection inside the event loop, at most
// kConnectTimeoutMs, so the window keeps answering; setPortOpen(false) from a
// handler run meanwhile cancels it, and the open then fails with Cancelled.
#include "serialcontrol.h"
#include "tlssettings.h"

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
    void setReceiveEventMode(ReceiveEventMode mode) override;
    bool setPortOpen(bool open) override;
    bool PortOpen() const override;
    void setOutput(const QString &text) override;
    QString Input() override;
    short CommEvent() const override;
    SerialFault fault() const override;
    QString errorString() const override;

    // Used from the next open of a TLS port.
    void setTlsSettings(const TlsSettings &settings);
    const TlsSettings &tlsSettings() const;

    // The Telnet side of the open (or last) rfc2217 connection.
    const TelnetComPort &telnet() const;

private:
    struct Private;
    Private *d;
};

} // namespace kestran
